#include "playback/RawTtyrecSource.h"

#include <fcntl.h>

#include "platform/UniqueFd.h"
#include "playback/FrameReader.h"

namespace {
// A catch-up's own view of the file, from its first byte.
class RawTtyrecCursor final : public FrameCursor
{
public:
    explicit RawTtyrecCursor(UniqueFd fd) : fd_(std::move(fd)), input_(fd_.Get(), 0) {}

    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override
    {
        return io::ReadFrame(input_, header, body);
    }
    void ReleaseBuffers() override { input_.ReleaseBuffer(); }
    qsizetype HeldBytes() const override { return static_cast<qsizetype>(input_.BufferCapacity()); }

private:
    UniqueFd fd_;  // declared first: the input reads it
    io::PositionedInput input_;
};
}  // namespace

RawTtyrecSource::RawTtyrecSource(io::FilePtr file) : file_(std::move(file)), input_(file_.get()) {}

io::FrameReadStatus RawTtyrecSource::Next(io::FrameHeader& header, QByteArray& body)
{
    return io::ReadFrame(input_, header, body);
}

std::unique_ptr<FrameCursor> RawTtyrecSource::NewCatchUpCursor()
{
    return NewRawTtyrecCursor(fileno(file_.get()));
}

std::unique_ptr<FrameCursor> NewRawTtyrecCursor(int fd)
{
    UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!own.Valid()) {
        return nullptr;
    }
    return std::make_unique<RawTtyrecCursor>(std::move(own));
}
