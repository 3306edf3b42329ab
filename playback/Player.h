#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "playback/FrameSource.h"
#include "playback/PlaybackPorts.h"
#include "playback/io.h"

// The one playback: the open recording, the frame that the next tick sends, the
// recording's clock, and the pacing of frames on the timer. It knows neither widgets nor
// sockets: it is handed a timer, the speed, the status panels and an output.
class Player final : public PlaybackControl
{
public:
    Player(PlaybackTimer& timer, SpeedControl& speed, PlaybackStatus& status);
    ~Player() override;

    // Where frames go; set once, before the first Open.
    void SetOutput(FrameOutput* output) { output_ = output; }

    // Opens the recording at path, reads its first frame and arms the first interval.
    // False, with the reason in panel 1, when it cannot be opened or read.
    bool Open(const QByteArray& path);
    // Opens a source already made (tests, or a caller that chose the format itself).
    bool Open(std::unique_ptr<FrameSource> source, const QString& name);
    void Close();
    // Reads the next frame into the pending frame and arms the timer with its delay
    // (the first frame of a recording starts the clock instead). A failure shows its text
    // in panel 1 and closes the recording.
    void ReadNextFrame(bool first);
    // The timer's tick: sends the pending frame (and those that fell due while the tick
    // was late) and reads on.
    void TimerTimer();
    // The timer runs only while a viewer is present and a recording is open.
    bool UpdateTimerEnabled();

    // A recorded gap longer than this many seconds counts as this long (before the speed
    // divides it); unset, gaps count in full. The recording's own limit applies as well.
    void SetIdleLimit(std::optional<double> seconds) { idleLimit_ = seconds; }
    // How the recordings opened by path are read (the spool's limit).
    void SetSourceOptions(const SourceOptions& options) { sourceOptions_ = options; }

    FrameSource* Source() const { return source_.get(); }
    // The pending frame's header (after a failed read, the length the failure text shows)
    // and its bytes as recorded; no bytes while no recording is open.
    const io::FrameHeader& FrameHeader() const { return header_; }
    const std::optional<QByteArray>& FrameBuffer() const { return pending_; }

    // PlaybackControl
    std::unique_ptr<FrameCursor> NewCatchUpCursor() override;
    int64_t FramesPlayed() const override { return framesPlayed_; }
    void PlayNextFrameNow() override;

    // The recording's first timestamp, and the timestamp of the frame read before the
    // current one. They outlive a closed recording.
    io::FrameTime StartTime;
    io::FrameTime PrevFrameTime;

private:
    void ForgetRecording();
    void ApplyFrameTiming(bool first);
    io::FrameTime CappedGap(io::FrameTime gap) const;
    bool HasViewers() const { return output_ != nullptr && output_->HasViewers(); }

    PlaybackTimer& timer_;
    SpeedControl& speed_;
    PlaybackStatus& status_;
    FrameOutput* output_ = nullptr;
    std::unique_ptr<FrameSource> source_;
    io::FrameHeader header_;
    std::optional<QByteArray> pending_;
    int64_t framesPlayed_ = 0;
    std::optional<double> idleLimit_;
    SourceOptions sourceOptions_;
};

// The text panel 1 shows when a read ends with status (not Frame); length is the header's.
QString FrameFailureText(io::FrameReadStatus status, int32_t length);
// The part of a path (the platform's bytes) after its last separator.
QString FileNamePart(const QByteArray& path);
// The gap, shortened to limit seconds when it is longer. Negative gaps stay as they are.
io::FrameTime CapFrameGap(io::FrameTime gap, double limit);
