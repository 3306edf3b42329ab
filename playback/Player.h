#pragma once

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>

#include "playback/FrameSource.h"
#include "playback/PlaybackPorts.h"
#include "playback/Playlist.h"
#include "playback/io.h"

class LiveFollower;

// The one playback: the open recording, the frame that the next tick sends, the
// recording's clock, and the pacing of frames on the timer. It knows neither widgets nor
// sockets: it is handed a timer, the speed, the status panels and an output. Handed a
// playlist, it asks it what follows each recording, waits the gap like a recorded one,
// and starts the next with a terminal reset.
class Player final : public PlaybackControl
{
public:
    Player(PlaybackTimer& timer, SpeedControl& speed, PlaybackStatus& status);
    ~Player() override;

    // Where frames go; set once, before the first Open.
    void SetOutput(FrameOutput* output) { output_ = output; }
    // What plays after each recording; none: playback stops at its end. Set once, before
    // the first Open; it must outlive the player.
    void SetPlaylist(Playlist* playlist) { playlist_ = playlist; }
    // The pause between two recordings of the playlist, in seconds before the speed
    // divides it.
    void SetGap(double seconds);
    // Every recording opened by its path from now on is followed while it is being
    // written (a LiveFollower watches it): what it holds counts as played at once, and
    // each frame written after goes to the viewers as soon as it is whole, unpaced.
    void SetFollow(bool follow) { follow_ = follow; }

    // Opens the playlist's first entry as Open does; one that fails is followed by the
    // next after the gap.
    void StartPlaylist();
    // Opens the recording at path, reads its first frame and arms the first interval.
    // False, with the reason in panel 1, when it cannot be opened or read; a playlist then
    // goes on after the gap. When following, watches the path instead: true while it is
    // followed, even before a file or a frame is there.
    bool Open(const QByteArray& path);
    // Opens a source already made (tests, or a caller that chose the format itself).
    bool Open(std::unique_ptr<FrameSource> source, const QString& name);
    void Close();
    // Reads the next frame into the pending frame and arms the timer with its delay
    // (the first frame of a recording starts the clock instead). The end, or a failure,
    // shows its text in panel 1 and closes the recording; when a playlist goes on after
    // it, the gap starts instead and the recording stays open through it.
    void ReadNextFrame(bool first);
    // The timer's tick: sends the pending frame (and those that fell due while the tick
    // was late) and reads on; between two recordings, starts the next.
    void TimerTimer();
    // The timer runs only while a viewer is present and a recording is open, or the gap
    // before the next one counts.
    bool UpdateTimerEnabled();
    // True while the gap between two recordings counts.
    bool BetweenRecordings() const { return betweenRecordings_; }

    // A live recording, one still being written. The follower of its file calls these.
    // Viewers lose what they were shown (a terminal reset), and the recording playing is
    // closed: another is about to start at the same path.
    void StopLive();
    // Makes source the live recording: every whole frame it holds counts as played at
    // once, unseen, and the viewers connected are sent what a newcomer would be sent.
    // From then on ReadOn sends each frame when it is whole. A source whose first read
    // fails shows why, and closes.
    void StartLive(std::unique_ptr<FrameSource> source, const QString& title);
    // Sends every frame of the live recording written whole since the last read, to every
    // viewer at once; a large stretch goes in parts, the rest on the next turns of the
    // loop, so a burst never holds it up.
    void ReadOn();
    // True while a live recording plays (frames are sent as written, not paced).
    bool Live() const { return live_; }
    // True while a file is followed, whatever it holds.
    bool Following() const { return follower_ != nullptr; }

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
    // The timestamp of the last frame that went to the viewers.
    io::FrameTime LastPlayedTime;

private:
    void ForgetRecording();
    // Opens path as a live recording, with a follower of its own.
    bool Follow(const QByteArray& path);
    // Sends a terminal reset when the viewers may show something of a recording.
    void ClearViewers();
    // Reads the frames the live recording holds whole, up to about budget bytes: each is
    // handed to `played`. Returns the status that stopped it (Waiting when all is read,
    // Frame when the budget is spent).
    template <class Played>
    io::FrameReadStatus ReadWholeFrames(qsizetype budget, Played&& played);
    void LiveFrameRead();
    void LiveRecordingFailed(io::FrameReadStatus status);
    // Makes source the open recording and reads its first frame; false, after the
    // failure is shown, when it has none.
    bool Start(std::unique_ptr<FrameSource> source, const QString& title, const QByteArray& path);
    // What every recording opened afresh gets: speed 1, the first frame soon.
    void ArmFirstFrame();
    // Opens a playlist entry; one that follows another starts with a terminal reset.
    bool OpenEntry(const Playlist::Entry& entry, bool afterAnother);
    // The gap has passed: the next entry starts, or fails and the one after it waits.
    bool StartNextEntry();
    // Asks the playlist what follows and arms the gap before it; false when nothing does.
    bool ScheduleNext(bool playedFrames);
    void RecordingEnded(io::FrameReadStatus status, bool first);
    void ReportFailure(const QString& text) const;
    void SendDueFrames();
    void ApplyFrameTiming(bool first);
    io::FrameTime CappedGap(io::FrameTime gap) const;
    bool HasViewers() const { return output_ != nullptr && output_->HasViewers(); }

    PlaybackTimer& timer_;
    SpeedControl& speed_;
    PlaybackStatus& status_;
    FrameOutput* output_ = nullptr;
    Playlist* playlist_ = nullptr;
    io::FrameTime gap_{2, 0};
    // While the gap before the playlist's next entry counts. The recording that ended
    // stays open meanwhile, for the catch-ups of newcomers.
    bool betweenRecordings_ = false;
    std::unique_ptr<FrameSource> source_;
    QByteArray path_;  // the open recording's, for the failure line; empty when not known
    io::FrameHeader header_;
    std::optional<QByteArray> pending_;
    int64_t framesPlayed_ = 0;
    std::optional<double> idleLimit_;
    bool follow_ = false;
    bool live_ = false;
    // Viewers may show frames of a recording: the next live recording starts them clean.
    bool shown_ = false;
    // The rest of a large stretch of live frames, read on the next turn of the loop.
    QTimer readOnLater_;
    // Declared after the source, so it goes first: it holds the file the source reads.
    std::unique_ptr<LiveFollower> follower_;
    SourceOptions sourceOptions_;
};

// The text panel 1 shows when a read ends with status (not Frame); length is the header's.
QString FrameFailureText(io::FrameReadStatus status, int32_t length);
// The part of a path (the platform's bytes) after its last separator.
QString FileNamePart(const QByteArray& path);
// The gap, shortened to limit seconds when it is longer. Negative gaps stay as they are.
io::FrameTime CapFrameGap(io::FrameTime gap, double limit);
