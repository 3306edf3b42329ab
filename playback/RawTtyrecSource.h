#pragma once

#include <memory>

#include "playback/ByteInput.h"
#include "playback/FrameSource.h"
#include "playback/io.h"

// A plain ttyrec file: frames read straight from its buffered stream.
class RawTtyrecSource final : public FrameSource
{
public:
    // Takes an open stream standing at the recording's first byte.
    explicit RawTtyrecSource(io::FilePtr file);

    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override;
    // Reads a duplicate of the file's descriptor with positioned reads, so it neither
    // moves the player's stream nor depends on it staying open.
    std::unique_ptr<FrameCursor> NewCatchUpCursor() override;

    std::FILE* Stream() const { return file_.get(); }

private:
    io::FilePtr file_;
    io::StreamInput input_;
};

// A cursor from the first frame of the ttyrec file open as fd, on a duplicate of it read
// with positioned reads: it never moves another reader and outlives fd. Null when the
// platform refuses a descriptor.
std::unique_ptr<FrameCursor> NewRawTtyrecCursor(int fd);
