#pragma once

#include <QByteArray>
#include <cstdio>

#include "playback/ByteInput.h"
#include "playback/io.h"

namespace io {

enum class FrameReadStatus
{
    Frame,             // a frame was read: its bytes are in the body, as recorded
    EndOfFile,         // fewer than 4 bytes were left where a header should begin
    AllocationFailed,  // the length is negative or above kMaxFrameLength
    ReadFailed,        // the header was cut short, or its body delivered no byte
    DecompressFailed,  // the compressed data is damaged: the frames before it were whole
    FormatError,       // a line or object of a text recording does not parse
    Waiting,           // a recording still being written has no whole frame yet: the next
                       // one is read once the file has grown
};

// Reads the next frame of a recording: the header, then the body as recorded.
// On Frame, header.length is the body's length and body holds exactly those bytes; a
// body cut short by the end of the file keeps only the bytes that were there. On a
// failure, header.length is the length as read (0 for a header cut short) and body is
// empty. The block body held before the call is reused when nobody else shares it. The
// input must stay readable while this runs. Every reader of a ttyrec stream (the player,
// a catch-up, a decompressed copy) goes through this one function.
FrameReadStatus ReadFrame(ByteInput& input, FrameHeader& header, QByteArray& body);
// The same, from where a stdio stream stands.
FrameReadStatus ReadFrame(std::FILE* stream, FrameHeader& header, QByteArray& body);
// Reads the next frame of a recording still being written, whose file held `fileSize`
// bytes when last looked at: as ReadFrame, but a frame not whole within them (a header
// without all of its body) is not taken. The answer is then Waiting, and the input stands
// again where the frame starts, to read it whole once the file has grown.
FrameReadStatus ReadWholeFrame(PositionedInput& input, int64_t fileSize, FrameHeader& header,
                               QByteArray& body);

}  // namespace io
