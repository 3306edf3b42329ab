#include "relay/ChannelLeader.h"

#include <unistd.h>

#include <QHostInfo>
#include <QRandomGenerator>
#include <cstdio>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "playback/Player.h"

namespace {
// How often the leader tells the relays it is alive, and how long a relay's count lasts.
constexpr int kHeartbeatMs = 1000;
constexpr auto kViewerReportExpiry = std::chrono::milliseconds(3500);
// What may wait for the event loop of the keys and counts that relays send.
constexpr qsizetype kControlBacklog = 1024 * 1024;

void SayOnce(const QString& text)
{
    std::fprintf(stderr, "ombrix: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

// Makes the channel's stream, or takes the one a former leader left, with today's limits.
natsStatus EnsureStream(jsCtx* jetStream, const ChannelNames& names, uint64_t* lastSeq)
{
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = names.stream.constData();
    const char* subjects[] = {names.playSubject.constData()};
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.Discard = js_DiscardOld;
    config.MaxBytes = ChannelLeader::kStreamCeiling;
    config.AllowRollup = true;
    jsStreamInfo* raw = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status = js_AddStream(&raw, jetStream, &config, nullptr, &code);
    if (status != NATS_OK) {
        status = js_UpdateStream(&raw, jetStream, &config, nullptr, &code);
    }
    const NatsPtr<jsStreamInfo> info(raw);
    if (status == NATS_OK && lastSeq != nullptr) {
        *lastSeq = info->State.LastSeq;
    }
    return status;
}
}  // namespace

ChannelLeader::ChannelLeader(FrameOutput& viewers, Player& player, const ChannelNames& names)
    : viewers_(viewers), player_(player), names_(names), tally_(kViewerReportExpiry)
{
    holder_ = QHostInfo::localHostName().toUtf8() + ':' + QByteArray::number(::getpid());
    epoch_ = QRandomGenerator::global()->generate();
    heartbeat_.setInterval(kHeartbeatMs);
    QObject::connect(&heartbeat_, &QTimer::timeout, this,
                     [this] { ErrorDisplay::Guard([this] { Beat(); }); });
    lockRefresh_.setInterval(static_cast<int>(LeaderLock::kRefreshMs));
    QObject::connect(&lockRefresh_, &QTimer::timeout, this,
                     [this] { ErrorDisplay::Guard([this] { RefreshLock(); }); });
}

ChannelLeader::~ChannelLeader()
{
    heartbeat_.stop();
    lockRefresh_.stop();
    // The worker may be refreshing the lock; once it is done, the channel is given back
    // at once, so a leader started next need not wait for the claim to expire.
    link_.FinishBackground();
    if (link_.Connection() != nullptr && connected_) {
        lock_.Release();
    }
}

bool ChannelLeader::Start(const QByteArray& url, QString* error)
{
    if (!link_.Connect(url, error)) {
        return false;
    }
    QString why;
    switch (lock_.Claim(link_.JetStream(), names_.lockKey, holder_, &why)) {
        case LeaderLock::Outcome::Held:
            break;
        case LeaderLock::Outcome::TakenByAnother:
            *error = Texts::ChannelHasLeader.arg(QString::fromUtf8(names_.channel))
                         .arg(LeaderLock::kExpiryMs / 1000);
            return false;
        case LeaderLock::Outcome::Failed:
            *error = QStringLiteral("cannot claim the channel %1: %2")
                         .arg(QString::fromUtf8(names_.channel), why);
            return false;
    }
    const natsStatus status = EnsureStream(link_.JetStream(), names_, &expectedLastSeq_);
    if (status != NATS_OK) {
        *error = QStringLiteral("cannot make the stream %1: %2")
                     .arg(QString::fromUtf8(names_.stream), NatsErrorText(status));
        return false;
    }
    // What a former leader left is not what plays now.
    js_PurgeStream(link_.JetStream(), names_.stream.constData(), nullptr, nullptr);
    link_.Subscribe(
        names_.keysSubject,
        [this](const QByteArray& data, const NatsLink::StreamPlace&) { KeyArrived(data); },
        kControlBacklog);
    link_.Subscribe(
        names_.viewersSubject,
        [this](const QByteArray& data, const NatsLink::StreamPlace&) { ViewersArrived(data); },
        kControlBacklog);
    link_.OnDisconnected = [this] {
        if (connected_) {
            connected_ = false;
            SayOnce(Texts::LeaderLostNats.arg(QString::fromLocal8Bit(link_.Url())));
        }
    };
    link_.OnReconnected = [this] {
        connected_ = true;
        SayOnce(Texts::NatsBack.arg(QString::fromLocal8Bit(link_.Url())));
        CheckStreamAfterReturn();
    };
    heartbeat_.start();
    lockRefresh_.start();
    Beat();
    return true;
}

bool ChannelLeader::PublishPlay(const RelayMessage& message, bool rollup)
{
    const QByteArray data = EncodeRelayMessage(message);
    const bool sent = rollup ? link_.PublishRollup(names_.playSubject, data)
                             : link_.Publish(names_.playSubject, data);
    if (sent) {
        ++expectedLastSeq_;
    } else {
        lost_ = true;
    }
    return sent;
}

void ChannelLeader::Broadcast(const QByteArray& recorded)
{
    viewers_.Broadcast(recorded);
    PublishFramePieces(recorded);
}

void ChannelLeader::PublishFramePieces(const QByteArray& recorded)
{
    // Between two recordings too: a reset the player sends then belongs to what the
    // relays' viewers were shown.
    RelayMessage frame;
    frame.kind = RelayMessage::Kind::Frame;
    frame.epoch = epoch_;
    frame.time = player_.LastPlayedTime;
    for (qsizetype at = 0; at < recorded.size(); at += kMaxPiece) {
        frame.seq = seq_++;
        frame.bytes = recorded.mid(at, kMaxPiece);
        PublishPlay(frame);
    }
}

void ChannelLeader::PlayedUnseen(const QByteArray& recorded)
{
    viewers_.PlayedUnseen(recorded);
    PublishFramePieces(recorded);
}

void ChannelLeader::RejoinViewers()
{
    viewers_.RejoinViewers();
}

bool ChannelLeader::HasViewers() const
{
    return viewers_.HasViewers() || tally_.Total() > 0;
}

void ChannelLeader::RecordingChanged()
{
    viewers_.RecordingChanged();
    recordingOpen_ = false;
}

void ChannelLeader::RecordingStarted(const QString& title, std::optional<QSize> terminalSize,
                                     int speed)
{
    recordingOpen_ = true;
    title_ = title;
    terminalSize_ = terminalSize.value_or(QSize());
    speed_ = speed;
    ++epoch_;
    seq_ = 0;
    PublishRecordingStart(false);
}

void ChannelLeader::PublishRecordingStart(bool again)
{
    RelayMessage start;
    start.kind = RelayMessage::Kind::Recording;
    start.epoch = epoch_;
    start.again = again;
    start.time = player_.StartTime;
    start.terminalSize = terminalSize_.isValid() &&
                                 terminalSize_.width() <= kMaxRelayedTerminalSide &&
                                 terminalSize_.height() <= kMaxRelayedTerminalSide
                             ? terminalSize_
                             : QSize();
    start.speed = speed_;
    start.text = title_;
    // The stream keeps a recording from its start: what came before goes as it is stored.
    PublishPlay(start, true);
}

void ChannelLeader::SpeedChanged(int speed)
{
    speed_ = speed;
    RelayMessage message;
    message.kind = RelayMessage::Kind::Speed;
    message.speed = speed;
    PublishPlay(message);
}

void ChannelLeader::FileTextChanged(const QString& text)
{
    RelayMessage message;
    message.kind = RelayMessage::Kind::FileText;
    message.text = text;
    PublishPlay(message);
}

void ChannelLeader::SetOwnViewers(int viewers)
{
    ownViewers_ = viewers;
}

void ChannelLeader::CheckStreamAfterReturn()
{
    const uint64_t expected = expectedLastSeq_;
    link_.RunInBackground([this, expected] {
        natsConnection_FlushTimeout(link_.Connection(), 2000);
        uint64_t last = 0;
        // A server that lost its store has no stream any more: it is made again, empty.
        const bool known = EnsureStream(link_.JetStream(), names_, &last) == NATS_OK;
        link_.RunOnLoop([this, expected, last, known] {
            if (!known) {
                return;  // the server went away again; its return checks once more
            }
            if (last < expected) {
                expectedLastSeq_ -= expected - last;
            }
            if (lost_ || last < expected) {
                lost_ = false;
                PublishAgain();
            }
        });
    });
}

void ChannelLeader::PublishAgain()
{
    if (!recordingOpen_) {
        return;
    }
    ++epoch_;
    seq_ = 0;
    PublishRecordingStart(true);
    std::unique_ptr<FrameCursor> cursor = player_.NewCatchUpCursor();
    if (!cursor) {
        return;
    }
    QByteArray played;
    io::FrameHeader header;
    QByteArray body;
    for (int64_t i = 0; i < player_.FramesPlayed(); ++i) {
        if (cursor->Next(header, body) != io::FrameReadStatus::Frame) {
            break;
        }
        played += body;
        if (played.size() >= kMaxPiece) {
            PublishFramePieces(played);
            played.clear();
        }
    }
    PublishFramePieces(played);
}

void ChannelLeader::KeyArrived(const QByteArray& data)
{
    const std::optional<RelayMessage> message = DecodeRelayMessage(data);
    if (!message || message->kind != RelayMessage::Kind::Key) {
        return;
    }
    // Each relay's keys are limited like one viewer's: its viewers are limited already, so
    // this only binds whoever else publishes on the subject.
    if (keyRates_.size() >= ViewerTally::kMaxRelays && !keyRates_.contains(message->sender)) {
        keyRates_.clear();
    }
    if (keyRates_[message->sender].Take(KeyRateLimit::Clock::now()) && OnKey) {
        OnKey(message->key, message->speed);
    }
}

void ChannelLeader::ViewersArrived(const QByteArray& data)
{
    const std::optional<RelayMessage> message = DecodeRelayMessage(data);
    if (!message || message->kind != RelayMessage::Kind::Viewers) {
        return;
    }
    if (tally_.Report(message->sender, message->viewers, ViewerTally::Clock::now()) &&
        OnViewersChanged) {
        OnViewersChanged();
    }
}

void ChannelLeader::Beat()
{
    if (tally_.Expire(ViewerTally::Clock::now()) && OnViewersChanged) {
        OnViewersChanged();
    }
    RelayMessage beat;
    beat.kind = RelayMessage::Kind::Heartbeat;
    beat.viewers = static_cast<uint32_t>(std::min<int64_t>(TotalViewers(), UINT32_MAX));
    link_.Publish(names_.leaderSubject, EncodeRelayMessage(beat));
}

void ChannelLeader::RefreshLock()
{
    if (lockRefreshing_ || !connected_) {
        return;
    }
    lockRefreshing_ = true;
    link_.RunInBackground([this] {
        const LeaderLock::Outcome outcome = lock_.Refresh();
        link_.RunOnLoop([this, outcome] {
            lockRefreshing_ = false;
            if (outcome == LeaderLock::Outcome::TakenByAnother) {
                lockRefresh_.stop();
                SayOnce(Texts::ChannelTakenOver.arg(QString::fromUtf8(names_.channel)));
            }
        });
    });
}
