#pragma once

#include <QByteArray>
#include <memory>

#include "playback/FrameSource.h"

// The terminal reset (RIS, "ESC c") that starts a recording following another on the
// same channel: whatever modes, colours or screen the last one left, every viewer's
// terminal starts the next one clean.
inline const QByteArray kTerminalReset = QByteArrayLiteral(
    "\x1b"
    "c");

// Puts the reset before the frames a cursor reads, stamped with the time of the first of
// them, which it reads ahead and holds back meanwhile. A cursor that fails on its first
// frame gives that failure, and no reset.
class ResetPrefix
{
public:
    io::FrameReadStatus Next(FrameCursor& frames, io::FrameHeader& header, QByteArray& body);
    qsizetype HeldBytes() const { return held_.capacity(); }

private:
    enum class Step
    {
        Reset,      // the reset is next (the first frame is read to stamp it)
        HeldFrame,  // the first frame, read and held back, is next
        Frames,     // the rest, straight from the cursor
    };
    Step step_ = Step::Reset;
    io::FrameHeader heldHeader_;
    QByteArray held_;
};

// A recording whose first frame is a terminal reset with the time of its own first frame:
// the reset goes out when that frame does, and the recording's clock starts where it
// always did. Its catch-up cursors give the reset first too, so a viewer who joins late
// gets the same clean start.
class ResetFirstSource final : public FrameSource
{
public:
    explicit ResetFirstSource(std::unique_ptr<FrameSource> recording);

    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override;
    void ReleaseBuffers() override { recording_->ReleaseBuffers(); }
    qsizetype HeldBytes() const override;
    std::unique_ptr<FrameCursor> NewCatchUpCursor() override;
    std::optional<QSize> TerminalSize() const override { return recording_->TerminalSize(); }
    std::optional<double> IdleTimeLimit() const override { return recording_->IdleTimeLimit(); }

private:
    std::unique_ptr<FrameSource> recording_;
    ResetPrefix prefix_;
};
