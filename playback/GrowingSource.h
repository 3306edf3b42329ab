#pragma once

#include <QByteArrayView>
#include <memory>

#include "platform/UniqueFd.h"
#include "playback/FrameSource.h"

// Recordings still being written: what a growing file can be followed as, told from its
// first bytes once enough of them are there, and the sources that read it as it grows.
namespace growing {

enum class Format
{
    NotYet,      // too little is written to tell
    Ttyrec,      // a plain ttyrec file
    Asciicast,   // an asciicast v2 or v3 file whose header line is whole
    Compressed,  // a compressed file: no frame of it is whole before its end
    Version1,    // an asciicast v1 file: one JSON object, whole only at its end
    Invalid,     // a JSON object whose first line is no asciicast header
};

// The smallest start that tells a format: a ttyrec frame's header. Every compression's
// magic is shorter, and every asciicast header line longer.
inline constexpr qsizetype kDecidingBytes = 12;
// The longest header line waited for; past it, the file is no asciicast this reads.
inline constexpr qsizetype kMaxHeaderLine = 64 * 1024;

// What a file whose first bytes are `head` (as many as were there, up to kMaxHeaderLine)
// can be followed as.
Format FormatOfHead(QByteArrayView head);
// The same for the file open as fd, read from its first byte.
Format FormatOf(int fd);

// A source reading the file open as fd, a Ttyrec or an Asciicast, as it grows: Next()
// gives each frame once it is whole in the file, and Waiting until then. Null for another
// format.
std::unique_ptr<FrameSource> OpenGrowingSource(UniqueFd fd, Format format);

}  // namespace growing
