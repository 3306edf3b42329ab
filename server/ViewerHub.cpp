#include "server/ViewerHub.h"

#include <algorithm>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/Exceptions.h"
#include "playback/FrameSource.h"
#include "server/TelnetKeyDecoder.h"
#include "server/TelnetOutput.h"

namespace {
// Catch-up frames are gathered into sends of about this size: one send per small frame
// would cost a system call each on a long recording. A newcomer that stops reading keeps
// at most one block waiting in its queue, so this is also what it can hold of the
// program's memory.
constexpr qsizetype kCatchUpChunk = 112 * 1024;
// Room for one more ordinary frame past the size above, so a block rarely grows.
constexpr qsizetype kCatchUpBlockCapacity = 128 * 1024;
// A terminal sends a key's escape sequence in one go; bytes of one that have waited this
// long for the rest were typed: the Esc key itself.
constexpr int kEscapeWaitMs = 50;

TelnetKeyDecoder::Stream KeyStreamOf(const ViewerConnection& viewer)
{
    return viewer.FrameEncoding() == ViewerConnection::Encoding::Telnet
               ? TelnetKeyDecoder::Stream::Telnet
               : TelnetKeyDecoder::Stream::Keys;
}
}  // namespace

QString ConnectionStatusText(int port, int viewerCount, const QString& firstPeerAddress)
{
    if (viewerCount <= 0) {
        return QString::number(port) + Texts::WaitingSuffix;
    }
    return firstPeerAddress + QLatin1Char(',') + QString::number(viewerCount);
}

// A newcomer being sent what it missed, a block at a time: the next block goes when the
// connection has taken the last, so a long recording neither piles up in memory nor
// holds up the loop. Its cursor reads the recording on its own, and stays readable after
// the player reaches the end and closes it.
struct ViewerHub::CatchUp
{
    CatchUp(std::unique_ptr<FrameCursor> frames, MemoryBudget& memory)
        : cursor(std::move(frames)), held(memory)
    {
    }

    // What is read but not handed to the connection: the cursor's read-ahead and the last
    // frame's body. The block being sent is the queue's to count.
    void AccountHeld() { held.Set(cursor->HeldBytes() + body.capacity()); }
    // The connection has stopped taking bytes: nothing read ahead stays allocated while
    // it waits, so a newcomer that never reads holds only the block in its queue.
    void Rest()
    {
        cursor->ReleaseBuffers();
        body = QByteArray();
        AccountHeld();
    }

    std::unique_ptr<FrameCursor> cursor;
    int64_t framesRead = 0;
    io::FrameHeader header;
    QByteArray body;
    QByteArray block;  // as recorded until a telnet newcomer's send escapes it
    // Counted with what the viewers' queues hold, so stalled newcomers cannot hold more
    // between them than the budget allows.
    MemoryBudget::Account held;
};

struct ViewerHub::Viewer
{
    Viewer(ViewerConnection* c, bool steers)
        : connection(c), keys(KeyStreamOf(*c)), maySteer(steers)
    {
    }
    ViewerConnection* connection;
    TelnetKeyDecoder keys;
    // Decided once, as it joins: its address does not change.
    bool maySteer;
    KeyRateLimit keyRate;
    // While the decoder holds a possible escape sequence that no byte has finished: when
    // what it holds is taken as keys.
    std::optional<std::chrono::steady_clock::time_point> escapeDue;
    std::shared_ptr<CatchUp> catchUp;
    bool departed = false;
};

ViewerHub::ViewerHub(ViewerHubHost& host, SpeedControl& speed, MemoryBudget& memory)
    : host_(host), speed_(speed), memory_(memory)
{
    escapeTimer_.setSingleShot(true);
    QObject::connect(&escapeTimer_, &QTimer::timeout,
                     [this] { ErrorDisplay::Guard([this] { FlushDueEscapes(); }); });
}

ViewerHub::~ViewerHub() = default;

std::shared_ptr<ViewerHub::Viewer> ViewerHub::Find(const ViewerConnection* viewer) const
{
    const auto found = byConnection_.find(viewer);
    return found == byConnection_.end() ? nullptr : found->second;
}

ViewerConnection* ViewerHub::FirstViewer() const
{
    const auto first = std::find_if(viewers_.begin(), viewers_.end(),
                                    [](const auto& viewer) { return !viewer->departed; });
    return first == viewers_.end() ? nullptr : (*first)->connection;
}

QString ViewerHub::FirstViewerAddress() const
{
    ViewerConnection* first = FirstViewer();
    if (first == nullptr) {
        return QString();
    }
    // A failed address query leaves the address out; the count and the playback state
    // must not suffer for it.
    try {
        return first->PeerAddress();
    } catch (const Exception&) {
        return QString();
    }
}

bool ViewerHub::IsCatchingUp(const ViewerConnection* viewer) const
{
    const std::shared_ptr<Viewer> found = Find(viewer);
    return found && found->catchUp;
}

void ViewerHub::Join(ViewerConnection* connection)
{
    if (byConnection_.contains(connection)) {
        return;
    }
    if (maxViewers_ > 0 && viewerCount_ >= maxViewers_) {
        connection->TurnAway(Texts::TooManyViewers.arg(viewerCount_));
        return;
    }
    const auto viewer = std::make_shared<Viewer>(connection, MaySteer(connection->ClientAddress()));
    viewers_.push_back(viewer);
    byConnection_.emplace(connection, viewer);
    ++viewerCount_;
    host_.ViewersChanged();
    if (connection->FrameEncoding() == ViewerConnection::Encoding::Telnet) {
        connection->Send(TelnetGreeting);
    }
    if (!SendScreen(*viewer)) {
        StartCatchUp(viewer);
    }
}

void ViewerHub::JoinOnScreen(QSize defaultSize)
{
    screen_ = std::make_unique<ScreenJoin>(defaultSize);
    screen_->OnResize = [this](QSize size) { host_.TerminalResized(size); };
}

void ViewerHub::RecordingStarted(std::optional<QSize> terminalSize)
{
    if (screen_) {
        screen_->StartRecording(terminalSize);
    }
}

std::optional<QSize> ViewerHub::ScreenSize() const
{
    return screen_ ? std::optional<QSize>(screen_->Size()) : std::nullopt;
}

bool ViewerHub::SendScreen(Viewer& viewer)
{
    if (!screen_ || viewer.departed || screen_->CannotRepaint()) {
        return false;
    }
    // Nothing played yet: nothing to show, and the frames reach the newcomer with everyone.
    if (const QByteArray* repaint = screen_->Repaint(viewer.connection->FrameEncoding())) {
        viewer.connection->Send(*repaint);
    }
    return true;
}

void ViewerHub::Leave(ViewerConnection* connection)
{
    const std::shared_ptr<Viewer> viewer = Find(connection);
    if (!viewer) {
        return;
    }
    --viewerCount_;
    // Still listed while the panel is written: a first viewer leaving is named once more.
    host_.ViewersChanged();
    viewer->departed = true;
    viewer->catchUp.reset();
    viewer->escapeDue.reset();
    byConnection_.erase(connection);
    if (broadcasting_ > 0) {
        departedPending_ = true;
    } else {
        DropDeparted();
    }
}

void ViewerHub::DropDeparted()
{
    std::erase_if(viewers_, [](const auto& viewer) { return viewer->departed; });
    departedPending_ = false;
}

void ViewerHub::Received(ViewerConnection* connection, const QByteArray& bytes)
{
    // Held here: a key's tick may hang this very viewer up.
    const std::shared_ptr<Viewer> viewer = Find(connection);
    if (!viewer) {
        return;
    }
    const auto now = KeyRateLimit::Clock::now();
    viewer->keys.Feed(bytes, [&](ViewerKey key) { ApplyKeyOf(*viewer, key, now); });
    WaitForRestOfEscape(viewer);
}

void ViewerHub::ApplyKeyOf(Viewer& viewer, ViewerKey key, KeyRateLimit::Clock::time_point now)
{
    // A key's frame may have hung this viewer up; what it sent after is no one's.
    if (viewer.maySteer && !viewer.departed && viewer.keyRate.Take(now)) {
        ApplyKey(key);
    }
}

void ViewerHub::ApplyKey(ViewerKey key)
{
    if (forwardKey_) {
        forwardKey_(key);
        return;
    }
    switch (key) {
        case ViewerKey::Faster:
            speed_.SetPlaySpeed(speed_.PlaySpeed() * 2);
            break;
        case ViewerKey::Slower:
            speed_.SetPlaySpeed(speed_.PlaySpeed() / 2);
            break;
        case ViewerKey::NormalSpeed:
            speed_.SetPlaySpeed(1);
            break;
        case ViewerKey::NextFrame:
            if (playback_ != nullptr) {
                playback_->PlayNextFrameNow();
            }
            break;
    }
}

void ViewerHub::WaitForRestOfEscape(const std::shared_ptr<Viewer>& viewer)
{
    if (!viewer->departed && viewer->keys.HoldsPossibleEscape()) {
        viewer->escapeDue =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kEscapeWaitMs);
    } else {
        viewer->escapeDue.reset();
    }
    ArmEscapeTimer();
}

void ViewerHub::ArmEscapeTimer()
{
    std::optional<std::chrono::steady_clock::time_point> earliest;
    for (const auto& viewer : viewers_) {
        if (viewer->escapeDue && (!earliest || *viewer->escapeDue < *earliest)) {
            earliest = viewer->escapeDue;
        }
    }
    if (!earliest) {
        escapeTimer_.stop();
        return;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*earliest - std::chrono::steady_clock::now());
    escapeTimer_.start(static_cast<int>(std::max<int64_t>(left.count(), 0)));
}

void ViewerHub::FlushDueEscapes()
{
    const auto now = std::chrono::steady_clock::now();
    // A copy: a key may hang a viewer up, and the list changes under the loop.
    const std::vector<std::shared_ptr<Viewer>> viewers = viewers_;
    for (const auto& viewer : viewers) {
        if (viewer->escapeDue && *viewer->escapeDue <= now && !viewer->departed) {
            viewer->escapeDue.reset();
            viewer->keys.FlushPossibleEscape([&](ViewerKey key) { ApplyKeyOf(*viewer, key, now); });
        }
    }
    ArmEscapeTimer();
}

void ViewerHub::Writable(ViewerConnection* connection)
{
    const std::shared_ptr<Viewer> viewer = Find(connection);
    if (viewer && viewer->catchUp) {
        ContinueCatchUp(viewer);
    }
}

void ViewerHub::StartCatchUp(const std::shared_ptr<Viewer>& viewer)
{
    if (playback_ == nullptr || viewer->departed || playback_->FramesPlayed() == 0) {
        return;
    }
    std::unique_ptr<FrameCursor> cursor = playback_->NewCatchUpCursor();
    if (!cursor) {
        return;  // no recording open, or no descriptor left: the broadcasts still reach it
    }
    viewer->catchUp = std::make_shared<CatchUp>(std::move(cursor), memory_);
    ContinueCatchUp(viewer);
}

bool ViewerHub::FillCatchUpBlock(CatchUp& catchUp) const
{
    if (catchUp.block.capacity() == 0) {
        catchUp.block.reserve(kCatchUpBlockCapacity);
    }
    // Frames played since the last block are part of what the newcomer missed.
    while (catchUp.block.size() < kCatchUpChunk) {
        if (catchUp.framesRead >= playback_->FramesPlayed() ||
            catchUp.cursor->Next(catchUp.header, catchUp.body) != io::FrameReadStatus::Frame) {
            return false;
        }
        ++catchUp.framesRead;
        // A frame larger than the room left grows the block to what it needs, no more.
        if (catchUp.block.size() + catchUp.body.size() > catchUp.block.capacity()) {
            catchUp.block.reserve(catchUp.block.size() + catchUp.body.size());
        }
        catchUp.block += catchUp.body;
    }
    return true;
}

void ViewerHub::ContinueCatchUp(const std::shared_ptr<Viewer>& viewer)
{
    ViewerConnection* connection = viewer->connection;
    // Held here: a failing send hangs the viewer up, which drops its catch-up.
    const std::shared_ptr<CatchUp> catchUp = viewer->catchUp;
    for (;;) {
        const bool more = FillCatchUpBlock(*catchUp);
        if (!more) {
            viewer->catchUp.reset();  // caught up: the next tick reaches it with everyone
        }
        catchUp->AccountHeld();
        if (!catchUp->block.isEmpty()) {
            if (connection->FrameEncoding() == ViewerConnection::Encoding::Telnet) {
                // In place: the block is this catch-up's alone, and usually has the room.
                EscapeTelnetIac(catchUp->block);
            }
            connection->Send(catchUp->block);
        }
        // A block the connection keeps a share of must not be written again.
        catchUp->block = QByteArray();
        if (!more || viewer->catchUp != catchUp || !connection->IsConnected()) {
            return;  // done or gone: the catch-up goes with the last reference
        }
        if (connection->PendingBytes() > 0) {
            // The rest goes when this block has; a crowd of slow newcomers must not each
            // hold a read-ahead block meanwhile.
            catchUp->Rest();
            return;
        }
    }
}

void ViewerHub::Broadcast(const QByteArray& recorded)
{
    if (recorded.isEmpty()) {
        return;
    }
    // Before the viewers get it: a resize in the frame reaches the pages ahead of the text
    // drawn at the new size.
    if (screen_) {
        screen_->Feed(recorded);
    }
    // Browsers take the block as it is. Telnet viewers share one escaped block, made at
    // most once, and only if one of them is here; a frame without 0xFF needs no block of
    // its own. A connection that cannot take it at once keeps a reference, not a copy.
    std::optional<QByteArray> telnet;
    ++broadcasting_;
    // The size is read again at every step: nobody joins meanwhile, but a failing send
    // may hang a viewer up.
    for (size_t i = 0; i < viewers_.size(); ++i) {
        Viewer& viewer = *viewers_[i];
        // A newcomer still catching up gets these frames from its own reading.
        if (viewer.departed || viewer.catchUp || !viewer.connection->IsConnected()) {
            continue;
        }
        if (viewer.connection->FrameEncoding() == ViewerConnection::Encoding::Telnet) {
            if (!telnet) {
                telnet = TelnetEscaped(recorded);
            }
            viewer.connection->Send(*telnet);
        } else {
            viewer.connection->Send(recorded);
        }
    }
    if (--broadcasting_ == 0 && departedPending_) {
        DropDeparted();
    }
}

void ViewerHub::PlayedUnseen(const QByteArray& recorded)
{
    if (screen_) {
        screen_->Feed(recorded);
    }
}

void ViewerHub::RejoinViewers()
{
    // A copy: a failing send hangs a viewer up, and the list changes under the loop.
    const std::vector<std::shared_ptr<Viewer>> viewers = viewers_;
    for (const std::shared_ptr<Viewer>& viewer : viewers) {
        if (viewer->departed || !viewer->connection->IsConnected()) {
            continue;
        }
        viewer->catchUp.reset();
        if (!SendScreen(*viewer)) {
            StartCatchUp(viewer);
        }
    }
}

void ViewerHub::RecordingChanged()
{
    // Viewers still catching up on the old recording follow the new one from its start.
    for (const std::shared_ptr<Viewer>& viewer : viewers_) {
        viewer->catchUp.reset();
    }
    // Until the new one states its size, nothing of it has played.
    if (screen_) {
        screen_->StartRecording(std::nullopt);
    }
}
