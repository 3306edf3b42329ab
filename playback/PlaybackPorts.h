#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class FrameCursor;

// What the player is handed by the program around it. Each is a small interface, so the
// player runs against a window and a server in the program and against fakes in tests.

// The countdown that paces the frames. The program's window timer satisfies it through
// a thin adapter; its rules are that timer's: setting the value held changes nothing, a
// different value restarts the countdown, Interval 0 or Enabled false never fires.
class PlaybackTimer
{
public:
    virtual ~PlaybackTimer() = default;
    virtual uint32_t Interval() const = 0;
    virtual void SetInterval(uint32_t interval) = 0;
    // Sets Interval, but the countdown lasts `delay` exactly, counted from the deadline of
    // the tick being handled (else from now), so frames fall due on the recording's clock.
    virtual void SetIntervalAfter(uint32_t interval, std::chrono::nanoseconds delay) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    // True inside a tick whose handler runs so late that the next countdown is already due.
    virtual bool IsOverdue() const = 0;
    // Takes that overdue tick now instead of firing again.
    virtual void TakeOverdueTick() = 0;
};

// The speed factor, 1 to 100, wherever the program keeps it (the speed bar).
class SpeedControl
{
public:
    virtual ~SpeedControl() = default;
    virtual int PlaySpeed() const = 0;
    // Clamps to 1..100.
    virtual void SetPlaySpeed(int speed) = 0;
};

// Status panels 1 (the recording, or why it stopped) and 2 (the elapsed recording time),
// and whoever else shows which recording plays.
class PlaybackStatus
{
public:
    virtual ~PlaybackStatus() = default;
    virtual void SetStatusFile(const QString& text) = 0;
    virtual void SetStatusTime(const QString& text) = 0;
    // A recording has opened and its first frame is pending: its title (what panel 1
    // shows) and the terminal size it states, if it states one.
    virtual void RecordingStarted(const QString& title, std::optional<QSize> terminalSize) = 0;
};

// Where played frames go: the viewers, whoever they are.
class FrameOutput
{
public:
    virtual ~FrameOutput() = default;
    // Frames' bytes as recorded, shared rather than copied; each kind of viewer gets them
    // in its own form.
    virtual void Broadcast(const QByteArray& recorded) = 0;
    // Playback advances only while this is true.
    virtual bool HasViewers() const = 0;
    // Another recording is being opened: what was read of the old one is void.
    virtual void RecordingChanged() = 0;
    // A frame that counts as played without being broadcast: what a followed file already
    // held when it was opened. Viewers are not sent it; they get it as newcomers do.
    virtual void PlayedUnseen(const QByteArray& recorded) = 0;
    // Every viewer connected is sent what a newcomer would be sent now, as if it had just
    // joined: after frames were played unseen. The player has reset the terminals that
    // showed anything before.
    virtual void RejoinViewers() = 0;
};

// What the code around the player may ask of it while it plays: the frames played so far,
// through a cursor of its own, and the next frame at once.
class PlaybackControl
{
public:
    virtual ~PlaybackControl() = default;
    // A cursor from the open recording's first frame; null when none is open or the
    // platform refuses one.
    virtual std::unique_ptr<FrameCursor> NewCatchUpCursor() = 0;
    // How many frames of the current recording have gone to the viewers; a cursor may
    // read that many. After the recording has ended and closed, every frame it delivered.
    virtual int64_t FramesPlayed() const = 0;
    // Sends the pending frame now, as a tick would.
    virtual void PlayNextFrameNow() = 0;
};
