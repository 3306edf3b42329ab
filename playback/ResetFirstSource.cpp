#include "playback/ResetFirstSource.h"

#include <utility>

namespace {
// A catch-up cursor of a ResetFirstSource.
class ResetFirstCursor final : public FrameCursor
{
public:
    explicit ResetFirstCursor(std::unique_ptr<FrameCursor> frames) : frames_(std::move(frames)) {}

    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override
    {
        return prefix_.Next(*frames_, header, body);
    }
    void ReleaseBuffers() override { frames_->ReleaseBuffers(); }
    qsizetype HeldBytes() const override { return frames_->HeldBytes() + prefix_.HeldBytes(); }

private:
    std::unique_ptr<FrameCursor> frames_;
    ResetPrefix prefix_;
};
}  // namespace

io::FrameReadStatus ResetPrefix::Next(FrameCursor& frames, io::FrameHeader& header,
                                      QByteArray& body)
{
    switch (step_) {
        case Step::Reset: {
            step_ = Step::Frames;
            const io::FrameReadStatus status = frames.Next(heldHeader_, held_);
            if (status != io::FrameReadStatus::Frame) {
                header = heldHeader_;
                return status;
            }
            step_ = Step::HeldFrame;
            header.time = heldHeader_.time;
            header.length = static_cast<int32_t>(kTerminalReset.size());
            body = kTerminalReset;
            return io::FrameReadStatus::Frame;
        }
        case Step::HeldFrame:
            step_ = Step::Frames;
            header = heldHeader_;
            body = std::exchange(held_, QByteArray());
            return io::FrameReadStatus::Frame;
        case Step::Frames:
            break;
    }
    return frames.Next(header, body);
}

ResetFirstSource::ResetFirstSource(std::unique_ptr<FrameSource> recording)
    : recording_(std::move(recording))
{
}

io::FrameReadStatus ResetFirstSource::Next(io::FrameHeader& header, QByteArray& body)
{
    return prefix_.Next(*recording_, header, body);
}

qsizetype ResetFirstSource::HeldBytes() const
{
    return recording_->HeldBytes() + prefix_.HeldBytes();
}

std::unique_ptr<FrameCursor> ResetFirstSource::NewCatchUpCursor()
{
    std::unique_ptr<FrameCursor> frames = recording_->NewCatchUpCursor();
    return frames ? std::make_unique<ResetFirstCursor>(std::move(frames)) : nullptr;
}
