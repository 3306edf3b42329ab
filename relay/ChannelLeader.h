#pragma once

#include <QByteArray>
#include <QObject>
#include <QSize>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "playback/PlaybackPorts.h"
#include "relay/ChannelNames.h"
#include "relay/LeaderLock.h"
#include "relay/NatsLink.h"
#include "relay/RelayMessage.h"
#include "relay/ViewerTally.h"
#include "server/KeyRateLimit.h"

class Player;

// The one playing program of a channel. It stands between the player and its own viewers:
// what they get, it also publishes to the channel's stream (each broadcast as recorded,
// each recording as it begins, each speed), so that relays serve the same to theirs. It
// holds the channel's lock, applies the keys the relays' viewers type, and counts their
// viewers. Losing NATS costs its own viewers nothing: it says so, and publishes again
// once the server is back, the current recording afresh if anything was lost.
class ChannelLeader final : public QObject, public FrameOutput
{
public:
    // What the stream keeps at most; past it the oldest messages go (see docs/scaling.md).
    static constexpr int64_t kStreamCeiling = 64 * 1024 * 1024;
    // The largest piece of a broadcast one message carries; a larger broadcast goes in
    // several, which the relays' viewers receive as the same bytes.
    static constexpr qsizetype kMaxPiece = 256 * 1024;

    // viewers: the leader's own; player: the playback it publishes.
    ChannelLeader(FrameOutput& viewers, Player& player, const ChannelNames& names);
    ~ChannelLeader() override;

    // Connects, claims the channel and empties its stream; false with the reason when it
    // cannot (another leader holds the channel, no NATS there).
    bool Start(const QByteArray& url, QString* error);

    // FrameOutput: the own viewers get each broadcast, and the stream a copy.
    void Broadcast(const QByteArray& recorded) override;
    // Playback goes on while a viewer watches here or at any relay.
    bool HasViewers() const override;
    void RecordingChanged() override;
    // What a followed file held when it opened: the relays get it as frames, which their
    // viewers see as the leader's see their catch-up.
    void PlayedUnseen(const QByteArray& recorded) override;
    void RejoinViewers() override;

    // What the program tells it as the playback goes.
    void RecordingStarted(const QString& title, std::optional<QSize> terminalSize, int speed);
    void SpeedChanged(int speed);
    void FileTextChanged(const QString& text);
    void SetOwnViewers(int viewers);
    // Every viewer of the channel: the own and those the relays report.
    int64_t TotalViewers() const { return ownViewers_ + tally_.Total(); }

    // A relay's viewer typed a key; speed is the value of SetSpeed.
    std::function<void(RelayMessage::KeyAction key, int speed)> OnKey;
    // The relays' viewers changed in number.
    std::function<void()> OnViewersChanged;

private:
    bool PublishPlay(const RelayMessage& message, bool rollup = false);
    void PublishRecordingStart(bool again);
    void PublishFramePieces(const QByteArray& recorded);
    // After a time without the server: the recording afresh, when the stream missed
    // something.
    void CheckStreamAfterReturn();
    void PublishAgain();
    void KeyArrived(const QByteArray& data);
    void ViewersArrived(const QByteArray& data);
    void Beat();
    void RefreshLock();

    FrameOutput& viewers_;
    Player& player_;
    ChannelNames names_;
    NatsLink link_;
    LeaderLock lock_;
    QByteArray holder_;
    ViewerTally tally_;
    std::map<QByteArray, KeyRateLimit> keyRates_;
    QTimer heartbeat_;
    QTimer lockRefresh_;
    bool lockRefreshing_ = false;
    bool connected_ = true;
    // A publication failed since the server was last seen whole.
    bool lost_ = false;
    // Stream sequence the stream should have reached: its last at start, plus every
    // message published since.
    uint64_t expectedLastSeq_ = 0;
    uint32_t epoch_ = 0;
    uint64_t seq_ = 0;
    bool recordingOpen_ = false;
    QString title_;
    QSize terminalSize_;
    int speed_ = 1;
    int ownViewers_ = 0;
};
