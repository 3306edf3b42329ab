#include "relay/ChannelRelay.h"

#include <unistd.h>

#include <QHostInfo>
#include <QRandomGenerator>
#include <cstdio>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "relay/ChannelLeader.h"

namespace {
constexpr int kTickMs = 1000;
// What may wait for the event loop of the stream's messages; past it they are dropped,
// and the relay reads the recording again once it sees the gap.
constexpr qsizetype kStreamBacklog = 32 * 1024 * 1024;
constexpr qsizetype kControlBacklog = 1024 * 1024;
const QByteArray kTerminalReset = QByteArrayLiteral(
    "\x1b"
    "c");
}  // namespace

ChannelRelay::ChannelRelay(FrameOutput& viewers, PlaybackStatus& status, const ChannelNames& names)
    : viewers_(viewers), status_(status), names_(names), recording_(ChannelLeader::kStreamCeiling)
{
    name_ = QHostInfo::localHostName().toUtf8().left(32) + ':' + QByteArray::number(::getpid()) +
            ':' + QByteArray::number(QRandomGenerator::global()->generate(), 16);
    tick_.setInterval(kTickMs);
    QObject::connect(&tick_, &QTimer::timeout, this,
                     [this] { ErrorDisplay::Guard([this] { Tick(); }); });
}

ChannelRelay::~ChannelRelay() = default;

bool ChannelRelay::Start(const QByteArray& url, QString* error)
{
    if (!link_.Connect(url, error)) {
        return false;
    }
    link_.Subscribe(
        names_.leaderSubject,
        [this](const QByteArray& data, const NatsLink::StreamPlace&) { HeartbeatArrived(data); },
        kControlBacklog);
    link_.OnDisconnected = [this] {
        if (connected_) {
            connected_ = false;
            std::fprintf(stderr, "ombrix: %s\n",
                         Texts::RelayLostNats.arg(QString::fromLocal8Bit(link_.Url()))
                             .toLocal8Bit()
                             .constData());
            std::fflush(stderr);
        }
        SetWaiting(true);
    };
    link_.OnReconnected = [this] {
        connected_ = true;
        std::fprintf(
            stderr, "ombrix: %s\n",
            Texts::NatsBack.arg(QString::fromLocal8Bit(link_.Url())).toLocal8Bit().constData());
        std::fflush(stderr);
        // The client remakes the stream's ordered consumer itself, after the last message it
        // delivered; a server that lost messages shows as a gap in the frames' numbers.
    };
    status_.SetStatusFile(Texts::WaitingForLeader);
    SubscribeFromStart();  // no stream yet: no leader yet, and the tick tries again
    tick_.start();
    return true;
}

void ChannelRelay::SubscribeFromStart()
{
    if (subscription_ != 0) {
        link_.Unsubscribe(subscription_);
        subscription_ = 0;
    }
    subscription_ = link_.SubscribeStream(
        names_.stream, names_.playSubject,
        [this](const QByteArray& data, const NatsLink::StreamPlace& place) {
            PlayArrived(data, place);
        },
        kStreamBacklog);
}

std::unique_ptr<FrameCursor> ChannelRelay::NewCatchUpCursor()
{
    return recording_.NewCursor();
}

void ChannelRelay::PlayNextFrameNow()
{
    SendKey(RelayMessage::KeyAction::NextFrame);
}

void ChannelRelay::SendKey(RelayMessage::KeyAction key, int speed)
{
    RelayMessage message;
    message.kind = RelayMessage::Kind::Key;
    message.key = key;
    message.speed = key == RelayMessage::KeyAction::SetSpeed ? speed : 0;
    message.sender = name_;
    link_.Publish(names_.keysSubject, EncodeRelayMessage(message));
}

void ChannelRelay::SetOwnViewers(int viewers)
{
    if (viewers != ownViewers_) {
        ownViewers_ = viewers;
        ReportViewers();
    }
}

void ChannelRelay::ReportViewers()
{
    RelayMessage message;
    message.kind = RelayMessage::Kind::Viewers;
    message.viewers = static_cast<uint32_t>(ownViewers_);
    message.sender = name_;
    link_.Publish(names_.viewersSubject, EncodeRelayMessage(message));
}

void ChannelRelay::PlayArrived(const QByteArray& data, const NatsLink::StreamPlace& place)
{
    const int subscription = subscription_;
    if (const std::optional<RelayMessage> message = DecodeRelayMessage(data)) {
        switch (message->kind) {
            case RelayMessage::Kind::Recording:
                RecordingArrived(*message);
                break;
            case RelayMessage::Kind::Frame:
                FrameArrived(*message);
                break;
            case RelayMessage::Kind::Speed:
                SpeedArrived(message->speed);
                break;
            case RelayMessage::Kind::FileText:
                leaderFileText_ = message->text;
                if (!waiting_) {
                    status_.SetStatusFile(leaderFileText_);
                }
                break;
            default:
                break;  // not the stream's
        }
    }
    // What the stream holds after this message counts only on the subscription reading
    // the recording again, not on the one whose gap started that.
    if (subscription == subscription_) {
        FinishCatchingUpIfDone(place.pending == 0);
    }
}

void ChannelRelay::RecordingArrived(const RelayMessage& message)
{
    if (epoch_ == message.epoch) {
        return;  // read again after a resubscription
    }
    epoch_ = message.epoch;
    startTime_ = message.time;
    recording_.Start();
    viewers_.RecordingChanged();
    // Sent afresh by the leader, frame after frame as they were played.
    if (message.again && !catchingUpSince_) {
        viewers_.Broadcast(kTerminalReset);
    }
    leaderFileText_ = message.text;
    if (!waiting_) {
        status_.SetStatusFile(leaderFileText_);
    }
    status_.SetStatusTime(QString::number(0) + Texts::SecondsSuffix);
    status_.RecordingStarted(message.text, message.terminalSize.isEmpty()
                                               ? std::nullopt
                                               : std::optional<QSize>(message.terminalSize));
    SpeedArrived(message.speed);
}

void ChannelRelay::FrameArrived(const RelayMessage& message)
{
    if (!epoch_) {
        // The stream no longer holds the recording's start (past its ceiling): what it
        // holds is what there is.
        epoch_ = message.epoch;
        recording_.Start();
        recording_.Accept(message.seq, message.bytes);
        Relay(message);
        return;
    }
    if (message.epoch != *epoch_) {
        Resynchronize();
        return;
    }
    switch (recording_.Add(message.seq, message.bytes)) {
        case RelayedRecording::Arrival::Appended:
            Relay(message);
            break;
        case RelayedRecording::Arrival::Duplicate:
            break;
        case RelayedRecording::Arrival::Gap:
            if (resyncedAt_ == std::pair(*epoch_, recording_.NextSeq())) {
                recording_.Accept(message.seq, message.bytes);
                Relay(message);
            } else {
                Resynchronize();
            }
            break;
    }
}

void ChannelRelay::Relay(const RelayMessage& frame)
{
    if (catchingUpSince_) {
        viewers_.PlayedUnseen(frame.bytes);
    } else {
        viewers_.Broadcast(frame.bytes);
    }
    const io::FrameTime elapsed = io::FrameTimeDiff(startTime_, frame.time);
    status_.SetStatusTime(QString::number(elapsed.seconds) + Texts::SecondsSuffix);
}

void ChannelRelay::SpeedArrived(int speed)
{
    leaderSpeed_ = speed;
    if (OnSpeed) {
        OnSpeed(speed);
    }
}

void ChannelRelay::Resynchronize()
{
    if (epoch_) {
        resyncedAt_ = std::pair(*epoch_, recording_.NextSeq());
    }
    epoch_.reset();
    if (!catchingUpSince_) {
        StartCatchingUp();
    }
    recording_.Start();
    // Newcomers still catching up on what was held follow the recording read again.
    viewers_.RecordingChanged();
    SubscribeFromStart();
}

void ChannelRelay::StartCatchingUp()
{
    viewers_.Broadcast(kTerminalReset);
    catchingUpSince_ = std::chrono::steady_clock::now();
}

void ChannelRelay::FinishCatchingUpIfDone(bool allArrived)
{
    // Sent to every viewer at once, the whole recording would sit in every queue together;
    // each viewer's own catch-up reads it at the pace that viewer takes it.
    if (catchingUpSince_ &&
        (allArrived || std::chrono::steady_clock::now() - *catchingUpSince_ > kCatchUpPatience)) {
        catchingUpSince_.reset();
        viewers_.RejoinViewers();
    }
}

void ChannelRelay::HeartbeatArrived(const QByteArray& data)
{
    const std::optional<RelayMessage> message = DecodeRelayMessage(data);
    if (!message || message->kind != RelayMessage::Kind::Heartbeat) {
        return;
    }
    lastBeat_ = std::chrono::steady_clock::now();
    SetWaiting(false);
    if (message->viewers != totalViewers_) {
        totalViewers_ = message->viewers;
        if (OnTotalViewersChanged) {
            OnTotalViewersChanged();
        }
    }
}

void ChannelRelay::Tick()
{
    if (std::chrono::steady_clock::now() - lastBeat_ > kLeaderSilence) {
        SetWaiting(true);
    }
    if (subscription_ == 0 && connected_) {
        SubscribeFromStart();
    }
    // Also when nothing more arrives: what there is of the recording is all there is.
    FinishCatchingUpIfDone(false);
    ReportViewers();
}

void ChannelRelay::SetWaiting(bool waiting)
{
    if (waiting == waiting_) {
        return;
    }
    waiting_ = waiting;
    status_.SetStatusFile(waiting ? Texts::WaitingForLeader : leaderFileText_);
}
