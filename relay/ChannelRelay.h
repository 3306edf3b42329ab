#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

#include "playback/PlaybackPorts.h"
#include "relay/ChannelNames.h"
#include "relay/NatsLink.h"
#include "relay/RelayMessage.h"
#include "relay/RelayedRecording.h"

// A program that plays no recording of its own but the leader's, from the channel's
// stream: each broadcast reaches its viewers through the same output the player feeds,
// and its newcomers catch up on what it has received of the current recording, as a
// leader's catch up on the file. Its viewers' keys go to the leader. Without NATS or
// without a leader, its viewers stay and wait; when it finds that it missed frames, it
// clears its viewers' terminals, reads the recording again, and then shows it to each
// viewer as to a newcomer (its catch-up or its screen).
class ChannelRelay final : public QObject, public PlaybackControl
{
public:
    // How long the leader may be silent before the relay shows that it waits for one.
    static constexpr std::chrono::milliseconds kLeaderSilence{3500};
    // How long viewers may wait for a recording read again before they are shown what has
    // arrived of it; the rest reaches them as it arrives.
    static constexpr std::chrono::milliseconds kCatchUpPatience{2000};

    ChannelRelay(FrameOutput& viewers, PlaybackStatus& status, const ChannelNames& names);
    ~ChannelRelay() override;

    // Connects and starts reading the stream (or waiting for it); false with the reason
    // when NATS cannot be reached.
    bool Start(const QByteArray& url, QString* error);

    // PlaybackControl
    std::unique_ptr<FrameCursor> NewCatchUpCursor() override;
    // None while the recording is read again: a newcomer meanwhile is shown it with the
    // other viewers once it is here.
    int64_t FramesPlayed() const override { return catchingUpSince_ ? 0 : recording_.Count(); }
    // Asks the leader for the next frame.
    void PlayNextFrameNow() override;

    // A key of one of its viewers, for the leader; speed is the value of SetSpeed.
    void SendKey(RelayMessage::KeyAction key, int speed = 0);
    void SetOwnViewers(int viewers);
    // The speed the leader plays at, as it last said.
    int LeaderSpeed() const { return leaderSpeed_; }
    bool WaitingForLeader() const { return waiting_; }
    // Every viewer of the channel, as the leader last counted them.
    int64_t TotalViewers() const { return totalViewers_; }

    // The leader's speed changed.
    std::function<void(int speed)> OnSpeed;
    std::function<void()> OnTotalViewersChanged;

private:
    void SubscribeFromStart();
    void PlayArrived(const QByteArray& data, const NatsLink::StreamPlace& place);
    void RecordingArrived(const RelayMessage& message);
    void FrameArrived(const RelayMessage& message);
    void SpeedArrived(int speed);
    void Relay(const RelayMessage& frame);
    // Reads the current recording again from the stream's start.
    void Resynchronize();
    // The recording is read again: the viewers' terminals are cleared, and what arrives is
    // held rather than broadcast, until it is all here (or kCatchUpPatience has passed).
    void StartCatchingUp();
    void FinishCatchingUpIfDone(bool allArrived);
    void HeartbeatArrived(const QByteArray& data);
    void Tick();
    void ReportViewers();
    void SetWaiting(bool waiting);

    FrameOutput& viewers_;
    PlaybackStatus& status_;
    ChannelNames names_;
    NatsLink link_;
    QByteArray name_;
    RelayedRecording recording_;
    QTimer tick_;
    int subscription_ = 0;
    std::optional<uint32_t> epoch_;
    io::FrameTime startTime_;
    // Since when the recording is being read again, if it is.
    std::optional<std::chrono::steady_clock::time_point> catchingUpSince_;
    // Where the last resynchronization found its gap: the same gap again is one the stream
    // itself has, and is taken as it is.
    std::optional<std::pair<uint32_t, uint64_t>> resyncedAt_;
    bool connected_ = true;
    bool waiting_ = true;
    std::chrono::steady_clock::time_point lastBeat_{};
    QString leaderFileText_;
    int leaderSpeed_ = 1;
    int ownViewers_ = 0;
    int64_t totalViewers_ = 0;
};
