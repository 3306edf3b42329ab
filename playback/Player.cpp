#include "playback/Player.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "playback/LiveFollower.h"
#include "playback/ResetFirstSource.h"

namespace {
// The interval the first frame of a newly opened recording waits.
constexpr uint32_t kFirstFrameInterval = 100;
// How much of a live recording one turn of the loop reads and sends: a writer that puts
// megabytes in at once must not hold up the viewers' own traffic meanwhile.
constexpr qsizetype kLiveReadBudget = 256 * 1024;
}  // namespace

QString FrameFailureText(io::FrameReadStatus status, int32_t length)
{
    switch (status) {
        case io::FrameReadStatus::Frame:
            break;
        case io::FrameReadStatus::EndOfFile:
            return Texts::EndOfFile;
        case io::FrameReadStatus::AllocationFailed:
            return QString::number(length) + Texts::AllocationFailedSuffix;
        case io::FrameReadStatus::ReadFailed:
            return QString::number(length) + Texts::ReadFailedSuffix;
        case io::FrameReadStatus::DecompressFailed:
            return Texts::DecompressFailed;
        case io::FrameReadStatus::FormatError:
            return Texts::FormatError;
        case io::FrameReadStatus::Waiting:
            break;
    }
    return QString();
}

QString FileNamePart(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return QFile::decodeName(slash < 0 ? path : path.mid(slash + 1));
}

io::FrameTime CapFrameGap(io::FrameTime gap, double limit)
{
    const double seconds = gap.seconds + gap.microseconds / 1e6;
    if (!(limit >= 0) || seconds <= limit) {
        return gap;
    }
    // Rounded, not truncated: a limit of 0.3 s is 300,000 µs, not 299,999.
    return io::SecondsToFrameTime(limit).value_or(gap);
}

Player::Player(PlaybackTimer& timer, SpeedControl& speed, PlaybackStatus& status)
    : timer_(timer), speed_(speed), status_(status)
{
    readOnLater_.setSingleShot(true);
    readOnLater_.setInterval(0);
    QObject::connect(&readOnLater_, &QTimer::timeout,
                     [this] { ErrorDisplay::Guard([this] { ReadOn(); }); });
}

Player::~Player() = default;

void Player::SetGap(double seconds)
{
    gap_ = io::SecondsToFrameTime(seconds).value_or(gap_);
}

void Player::StartPlaylist()
{
    const std::optional<Playlist::Entry> first = playlist_ ? playlist_->First() : std::nullopt;
    if (!first) {
        return;
    }
    if (OpenEntry(*first, false)) {
        ArmFirstFrame();
    } else {
        ScheduleNext(false);
    }
}

bool Player::Open(const QByteArray& path)
{
    if (follow_) {
        return Follow(path);
    }
    // Viewers still catching up on the old recording follow the new one from its start.
    ForgetRecording();
    std::unique_ptr<FrameSource> source = OpenFrameSource(path, sourceOptions_);
    bool opened = false;
    if (!source) {
        status_.SetStatusFile(Texts::OpenFailed);
    } else {
        opened = Start(std::move(source), FileNamePart(path), path);
    }
    if (playlist_ != nullptr) {
        playlist_->OpenedElsewhere(path, opened);
    }
    if (opened) {
        ArmFirstFrame();
    } else {
        ScheduleNext(false);
    }
    return opened;
}

bool Player::Open(std::unique_ptr<FrameSource> source, const QString& name)
{
    follower_.reset();
    ForgetRecording();
    if (!Start(std::move(source), name, QByteArray())) {
        return false;
    }
    ArmFirstFrame();
    return true;
}

bool Player::Start(std::unique_ptr<FrameSource> source, const QString& title,
                   const QByteArray& path)
{
    source_ = std::move(source);
    path_ = path;
    framesPlayed_ = 0;
    ReadNextFrame(true);
    if (!source_) {
        return false;
    }
    status_.SetStatusFile(title);
    status_.RecordingStarted(title, source_->TerminalSize());
    return true;
}

void Player::ArmFirstFrame()
{
    speed_.SetPlaySpeed(1);
    timer_.SetInterval(kFirstFrameInterval);
    UpdateTimerEnabled();
}

bool Player::OpenEntry(const Playlist::Entry& entry, bool afterAnother)
{
    ForgetRecording();
    std::unique_ptr<FrameSource> source = OpenFrameSource(entry.path);
    if (!source) {
        // The open has named the file and the reason on standard error.
        status_.SetStatusFile(Texts::OpenFailed);
        return false;
    }
    if (afterAnother) {
        source = std::make_unique<ResetFirstSource>(std::move(source));
    }
    return Start(std::move(source), entry.title, entry.path);
}

bool Player::StartNextEntry()
{
    betweenRecordings_ = false;
    const std::optional<Playlist::Entry> entry = playlist_->Advance();
    if (!entry) {
        Close();
        return false;
    }
    if (OpenEntry(*entry, true)) {
        return true;
    }
    ScheduleNext(false);
    return false;
}

bool Player::ScheduleNext(bool playedFrames)
{
    betweenRecordings_ = playlist_ != nullptr && playlist_->GoesOn(playedFrames);
    if (!betweenRecordings_) {
        return false;
    }
    // Timed like a recorded gap: the speed divides it, and it passes only while viewers
    // watch.
    const int speed = speed_.PlaySpeed();
    timer_.SetIntervalAfter(io::FrameDelayMilliseconds(gap_, speed), io::FrameDelay(gap_, speed));
    UpdateTimerEnabled();
    return true;
}

void Player::ForgetRecording()
{
    if (output_ != nullptr) {
        output_->RecordingChanged();
    }
    Close();
}

void Player::Close()
{
    betweenRecordings_ = false;
    live_ = false;
    readOnLater_.stop();
    source_.reset();
    pending_.reset();
}

bool Player::Follow(const QByteArray& path)
{
    // The file followed until now is let go first: its watch, then its recording.
    follower_.reset();
    ForgetRecording();
    path_ = path;
    auto follower = std::make_unique<LiveFollower>(*this, status_, path);
    if (!follower->Start()) {
        return false;
    }
    follower_ = std::move(follower);
    return true;
}

void Player::ClearViewers()
{
    if (shown_ && output_ != nullptr) {
        shown_ = false;
        output_->Broadcast(kTerminalReset);
    }
}

void Player::StopLive()
{
    ForgetRecording();
    ClearViewers();
}

void Player::StartLive(std::unique_ptr<FrameSource> source, const QString& title)
{
    ForgetRecording();
    ClearViewers();
    source_ = std::move(source);
    live_ = true;
    framesPlayed_ = 0;
    // Nothing is paced: the recorder paced the frames as it wrote them.
    timer_.SetInterval(0);
    UpdateTimerEnabled();
    status_.RecordingStarted(title, source_->TerminalSize());
    // What is written already is the past: nobody waits through it.
    const io::FrameReadStatus status =
        ReadWholeFrames(std::numeric_limits<qsizetype>::max(),
                        [this](const QByteArray& body) { output_->PlayedUnseen(body); });
    if (status != io::FrameReadStatus::Waiting) {
        LiveRecordingFailed(status);
        return;
    }
    if (framesPlayed_ > 0) {
        shown_ = true;
        output_->RejoinViewers();
    }
}

void Player::ReadOn()
{
    readOnLater_.stop();
    if (!live_ || !source_) {
        return;
    }
    QByteArray due;
    const io::FrameReadStatus status =
        ReadWholeFrames(kLiveReadBudget, [&due](const QByteArray& body) { due += body; });
    if (!due.isEmpty()) {
        shown_ = true;
        output_->Broadcast(due);
    }
    if (status == io::FrameReadStatus::Frame) {
        readOnLater_.start();
    } else if (status != io::FrameReadStatus::Waiting) {
        LiveRecordingFailed(status);
    }
}

template <class Played>
io::FrameReadStatus Player::ReadWholeFrames(qsizetype budget, Played&& played)
{
    QByteArray body;
    qsizetype read = 0;
    io::FrameReadStatus status = io::FrameReadStatus::Frame;
    while (read < budget) {
        status = source_->Next(header_, body);
        if (status != io::FrameReadStatus::Frame) {
            break;
        }
        if (framesPlayed_ == 0) {
            StartTime = header_.time;
        }
        PrevFrameTime = header_.time;
        ++framesPlayed_;
        read += body.size();
        played(body);
    }
    if (framesPlayed_ > 0) {
        const io::FrameTime elapsed = io::FrameTimeDiff(StartTime, PrevFrameTime);
        status_.SetStatusTime(QString::number(elapsed.seconds) + Texts::SecondsSuffix);
    }
    return status;
}

void Player::LiveRecordingFailed(io::FrameReadStatus status)
{
    const QString text = FrameFailureText(status, header_.length);
    status_.SetStatusFile(text);
    ReportFailure(text);
    // Viewers keep what they were sent; the follower starts anew when the file does.
    Close();
}

void Player::ReadNextFrame(bool first)
{
    if (!source_ || betweenRecordings_) {
        return;
    }
    // The last frame's block is handed back for reuse.
    QByteArray body = pending_ ? std::move(*pending_) : QByteArray();
    pending_.reset();
    const io::FrameReadStatus status = source_->Next(header_, body);
    if (status == io::FrameReadStatus::Frame) {
        pending_ = std::move(body);
        ApplyFrameTiming(first);
        return;
    }
    RecordingEnded(status, first);
}

void Player::RecordingEnded(io::FrameReadStatus status, bool first)
{
    const QString text = FrameFailureText(status, header_.length);
    status_.SetStatusFile(text);
    if (status != io::FrameReadStatus::EndOfFile) {
        ReportFailure(text);
    }
    // A first frame that fails is the opener's to follow up; after a recording that
    // played, what comes next waits the gap while the recording stays open, so that a
    // viewer who joins meanwhile still catches up on it.
    if (first || !ScheduleNext(framesPlayed_ > 0)) {
        Close();
    }
}

void Player::ReportFailure(const QString& text) const
{
    // A channel that goes on by itself, or a live session, is watched through its log:
    // name the file.
    if ((playlist_ != nullptr || live_) && !path_.isEmpty()) {
        std::fprintf(stderr, "ombrix: %s: %s\n", path_.constData(), text.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

io::FrameTime Player::CappedGap(io::FrameTime gap) const
{
    std::optional<double> limit = idleLimit_;
    if (const std::optional<double> own = source_->IdleTimeLimit()) {
        limit = limit ? std::min(*limit, *own) : *own;
    }
    return limit ? CapFrameGap(gap, *limit) : gap;
}

void Player::ApplyFrameTiming(bool first)
{
    const io::FrameTime current = header_.time;
    if (first) {
        StartTime = current;
    } else {
        const io::FrameTime gap = CappedGap(io::FrameTimeDiff(PrevFrameTime, current));
        const int speed = speed_.PlaySpeed();
        // The interval keeps its whole milliseconds; the countdown runs the exact gap, so
        // what the milliseconds leave out is never lost.
        timer_.SetIntervalAfter(io::FrameDelayMilliseconds(gap, speed), io::FrameDelay(gap, speed));
    }
    PrevFrameTime = current;
    const io::FrameTime elapsed = io::FrameTimeDiff(StartTime, current);
    status_.SetStatusTime(QString::number(elapsed.seconds) + Texts::SecondsSuffix);
}

bool Player::UpdateTimerEnabled()
{
    // A live recording is read when its file is written, not on the timer.
    timer_.SetEnabled(HasViewers() && !live_ && (source_ != nullptr || betweenRecordings_));
    return timer_.Enabled();
}

void Player::TimerTimer()
{
    timer_.SetInterval(0);
    if (!UpdateTimerEnabled()) {
        return;
    }
    if (betweenRecordings_ && !StartNextEntry()) {
        return;
    }
    SendDueFrames();
}

void Player::SendDueFrames()
{
    // A copy of the frame's bytes, not a share of the reader's block, which may be larger
    // than the frame (it is kept from frame to frame): a viewer that has to queue the frame
    // then holds what it is, and the reader keeps its block for the next frame instead of
    // allocating another.
    QByteArray due = pending_ ? QByteArray(pending_->constData(), pending_->size()) : QByteArray();
    framesPlayed_ += pending_ ? 1 : 0;
    LastPlayedTime = header_.time;
    ReadNextFrame(false);
    // A tick that runs late (many viewers, a long catch-up) takes the frames that fell
    // due meanwhile with it: one send per viewer instead of one per viewer and frame,
    // so a crowd does not fall further behind with every frame.
    while (pending_ && timer_.IsOverdue()) {
        due += *pending_;
        ++framesPlayed_;
        LastPlayedTime = header_.time;
        timer_.TakeOverdueTick();
        ReadNextFrame(false);
    }
    // Appending leaves room to grow; what is broadcast is cut to its bytes, in a block of
    // its own (shrinking in place would leave a hole the allocator seldom fills).
    if (due.capacity() > due.size()) {
        due = QByteArray(due.constData(), due.size());
    }
    if (!due.isEmpty()) {
        shown_ = true;
        output_->Broadcast(due);
    }
}

void Player::PlayNextFrameNow()
{
    // At the live edge nothing waits to be hurried; only what is written whole and not
    // yet read, if anything, goes now.
    if (live_) {
        ReadOn();
        return;
    }
    timer_.SetInterval(0);
    TimerTimer();
}

std::unique_ptr<FrameCursor> Player::NewCatchUpCursor()
{
    return source_ ? source_->NewCatchUpCursor() : nullptr;
}
