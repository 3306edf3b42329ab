#include "server/CustomWinSocket.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <QPointer>
#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/SocketCalls.h"

namespace {

// Blocks handed to one writev; a connection rarely has more waiting.
constexpr int kBlocksPerSend = 64;

int ClampToInt(qsizetype value)
{
    return static_cast<int>(std::min<qsizetype>(value, INT_MAX));
}

}  // namespace

// --- TCustomWinSocket: life and dispatch --------------------------------------------------

TCustomWinSocket::TCustomWinSocket(int descriptor, MemoryBudget& budget, QObject* parent)
    : QObject(parent), descriptor_(descriptor), connected_(descriptor >= 0), queueMemory_(budget)
{
}

TCustomWinSocket::~TCustomWinSocket()
{
    // A socket freed while open says nothing on its way out.
    eventSink_ = nullptr;
    errorSink_ = nullptr;
    CloseDescriptor(false);
}

void TCustomWinSocket::Notify(TSocketEventKind kind, TCustomWinSocket* target)
{
    // A copy, so that a handler that frees this object does not free the callable running.
    const EventSink sink = eventSink_;
    if (sink) {
        sink(target != nullptr ? target : this, kind);
    }
}

void TCustomWinSocket::NotifyError(TErrorEvent kind, int& errorCode)
{
    const ErrorSink sink = errorSink_;
    if (sink) {
        sink(this, kind, errorCode);
    }
}

void TCustomWinSocket::SelectConnectionEvents()
{
    if (poller_ == nullptr) {
        return;
    }
    poller_->Watch(descriptor_.Get(), this);
    SetReadInterest(true);
    // A writable socket is almost always writable: write readiness is asked for only
    // while bytes wait.
    SetWriteInterest(!sendQueue_.Empty());
}

void TCustomWinSocket::SetReadInterest(bool wanted)
{
    readInterest_ = wanted;
    if (poller_ != nullptr && descriptor_.Valid()) {
        poller_->SetInterest(descriptor_.Get(), readInterest_, writeInterest_);
    }
}

void TCustomWinSocket::SetWriteInterest(bool wanted)
{
    if (wanted == writeInterest_) {
        return;
    }
    writeInterest_ = wanted;
    if (poller_ != nullptr && descriptor_.Valid()) {
        poller_->SetInterest(descriptor_.Get(), readInterest_, writeInterest_);
    }
}

// Each kind of readiness is its own entry from the event loop, guarded alone, as two
// notifiers would be; the write is skipped when the read handler closed the socket.
void TCustomWinSocket::SocketReady(int descriptor, bool readable, bool writable)
{
    QPointer<TCustomWinSocket> self(this);
    if (readable) {
        ErrorDisplay::Guard([this, descriptor] { HandleRead(descriptor); });
    }
    if (writable && self && writeInterest_) {
        ErrorDisplay::Guard([this, descriptor] { HandleWrite(descriptor); });
    }
}

void TCustomWinSocket::TearDown(int descriptor)
{
    if (descriptor < 0 || descriptor != SocketDescriptor()) {
        return;
    }
    QPointer<TCustomWinSocket> self(this);
    try {
        Notify(skDisconnect);
    } catch (...) {
        // The descriptor is closed even when the disconnect handler throws: left open, a
        // socket at end of file stays readable and would wake the loop without end.
        if (self) {
            CloseDescriptor(false);
        }
        throw;
    }
    if (self) {
        CloseDescriptor(true);
    }
}

void TCustomWinSocket::CloseDescriptor(bool raiseOnFailure)
{
    // The watch goes before the descriptor: the number may be handed out again at once.
    if (poller_ != nullptr && descriptor_.Valid()) {
        poller_->Forget(descriptor_.Get());
    }
    readInterest_ = false;
    writeInterest_ = false;
    DiscardQueue();
    unread_.clear();
    readHeld_ = false;
    connected_ = false;
    if (!descriptor_.Valid()) {
        return;
    }
    if (descriptor_.Close() != 0 && errno != EINTR && raiseOnFailure) {
        SocketCalls::Raise(errno, QStringLiteral("closesocket"));
    }
}

void TCustomWinSocket::Hangup()
{
    TearDown(SocketDescriptor());
}

QString TCustomWinSocket::PeerAddress()
{
    if (!connected_) {
        return {};
    }
    return SocketCalls::PeerAddress(descriptor_.Get());
}

// --- TCustomWinSocket: sending --------------------------------------------------------------

int TCustomWinSocket::SendBytes(const void* buffer, int count)
{
    if (buffer == nullptr || count <= 0) {
        return 0;
    }
    return SendShared(static_cast<const char*>(buffer), count, nullptr);
}

int TCustomWinSocket::SendBytes(const QByteArray& bytes)
{
    return SendShared(bytes.constData(), bytes.size(), &bytes);
}

int TCustomWinSocket::SendShared(const char* data, qsizetype size, const QByteArray* shared)
{
    if (!connected_ || size <= 0) {
        return 0;
    }
    qsizetype taken = 0;
    if (sendQueue_.Empty()) {
        const ssize_t sent = SocketCalls::Send(descriptor_.Get(), data, std::size_t(size));
        if (sent < 0 && !SocketCalls::WouldBlock(errno)) {
            return FailTransfer(erSend, errno, "send");
        }
        taken = std::max<qsizetype>(sent, 0);
        if (taken == size) {
            return ClampToInt(taken);
        }
    }
    // What the system did not take waits, in order, behind whatever waits already.
    const bool queued = shared != nullptr ? Enqueue(*shared, taken)
                                          : Enqueue(QByteArray(data + taken, size - taken), 0);
    if (!queued) {
        return FailTransfer(erSend, ENOBUFS, "send");
    }
    return taken > 0 ? ClampToInt(taken) : -1;
}

// The budget counts memory, not bytes: a queued block stays allocated, whole, until its
// last byte has gone, and so does its entry. What other viewers hold, queued on any
// transport or read ahead by a catch-up, counts in the same total.
bool TCustomWinSocket::Enqueue(const QByteArray& bytes, qsizetype offset)
{
    if (!queueMemory_.TryCharge(MemoryBudget::MemoryOf(bytes))) {
        return false;
    }
    sendQueue_.Push(bytes, offset);
    SetWriteInterest(true);
    return true;
}

void TCustomWinSocket::DiscardQueue()
{
    queueMemory_.Set(0);
    sendQueue_.Clear();
}

// One system call for everything that waits, as far as the system takes it.
bool TCustomWinSocket::Flush()
{
    while (!sendQueue_.Empty()) {
        iovec parts[kBlocksPerSend];
        const int used = sendQueue_.Gather(parts, kBlocksPerSend);
        size_t wanted = 0;
        for (int i = 0; i < used; ++i) {
            wanted += parts[i].iov_len;
        }
        const ssize_t sent = SocketCalls::SendVector(descriptor_.Get(), parts, used);
        if (sent < 0) {
            if (!SocketCalls::WouldBlock(errno)) {
                FailTransfer(erSend, errno, "send");
            }
            return false;
        }
        queueMemory_.Release(sendQueue_.Consume(static_cast<size_t>(sent)));
        if (static_cast<size_t>(sent) < wanted) {
            return false;
        }
    }
    return true;
}

void TCustomWinSocket::HandleWrite(int descriptor)
{
    if (descriptor < 0 || descriptor != SocketDescriptor()) {
        return;
    }
    if (!Flush()) {
        return;
    }
    SetWriteInterest(false);
    // Everything that waited has gone out: sending is possible again.
    Notify(skWrite);
}

int TCustomWinSocket::FailTransfer(TErrorEvent kind, int code, const char* api)
{
    QPointer<TCustomWinSocket> self(this);
    const int fd = SocketDescriptor();
    int errorCode = code;
    NotifyError(kind, errorCode);
    if (self) {
        TearDown(fd);
    }
    if (errorCode != 0) {
        SocketCalls::Raise(errorCode, QString::fromLatin1(api));
    }
    return -1;
}

// --- TCustomWinSocket: receiving ------------------------------------------------------------

int TCustomWinSocket::ReceiveBytes(void* buffer, int count)
{
    if (!connected_) {
        return 0;
    }
    if (count == -1) {
        return ClampToInt(unread_.size() + SocketCalls::BytesWaiting(descriptor_.Get()));
    }
    if (buffer == nullptr || count <= 0) {
        return 0;
    }
    ++receiveCalls_;
    char* bytes = static_cast<char*>(buffer);
    const qsizetype held = TakeUnread(bytes, count);
    if (held == count) {
        return count;
    }
    const ssize_t got =
        SocketCalls::Receive(descriptor_.Get(), bytes + held, std::size_t(count - held));
    if (got >= 0) {
        return ClampToInt(held + got);
    }
    if (SocketCalls::WouldBlock(errno)) {
        return held > 0 ? ClampToInt(held) : -1;
    }
    const int result = FailTransfer(erReceive, errno, "recv");
    return held > 0 ? ClampToInt(held) : result;
}

QByteArray TCustomWinSocket::ReceiveAvailableText(int limit)
{
    const int waiting = std::min(ReceiveBytes(nullptr, -1), limit);
    if (waiting <= 0) {
        return {};
    }
    QByteArray text(waiting, Qt::Uninitialized);
    const int got = ReceiveBytes(text.data(), waiting);
    text.resize(std::max(got, 0));
    return text;
}

qsizetype TCustomWinSocket::TakeUnread(char* buffer, qsizetype count)
{
    const qsizetype taken = std::min(count, unread_.size());
    if (taken == 0) {
        return 0;
    }
    std::copy_n(unread_.constData(), taken, buffer);
    unread_.remove(0, taken);
    if (readHeld_ && unread_.size() < kMaxUnreadBytes && descriptor_.Valid()) {
        readHeld_ = false;
        SetReadInterest(true);
    }
    return taken;
}

// The read notifier is level-triggered: while a byte waits in the socket it fires on every
// turn of the loop. A read handler that takes nothing would therefore spin the loop. When
// OnClientRead returns without having received anything, the bytes it was offered are moved
// into this connection's own unread buffer, which ReceiveBytes serves first; the socket is
// then empty and wakes the loop again only for new bytes or for the peer's close, so the
// close is still seen. The buffer is bounded; once full, reading stops (and the peer is held
// back by TCP) until the handler takes some, which is the only case where a close goes
// unnoticed until then.
void TCustomWinSocket::HandleRead(int descriptor)
{
    if (descriptor < 0 || descriptor != SocketDescriptor()) {
        return;
    }
    if (SocketCalls::BytesWaiting(descriptor) == 0 && !HandleQuietReadable(descriptor)) {
        return;
    }
    QPointer<TCustomWinSocket> self(this);
    const quint64 receivedBefore = receiveCalls_;
    Notify(skRead);
    if (self && descriptor == SocketDescriptor() && receiveCalls_ == receivedBefore) {
        HoldUnread();
    }
}

// Readable with nothing to read: the peer closed, the connection failed, or bytes came in
// after the count was taken. True in the last case.
bool TCustomWinSocket::HandleQuietReadable(int descriptor)
{
    char probe = 0;
    const ssize_t got = SocketCalls::Receive(descriptor, &probe, 1, MSG_PEEK);
    if (got > 0) {
        return true;
    }
    if (got == 0) {
        TearDown(descriptor);
    } else if (!SocketCalls::WouldBlock(errno)) {
        ReportNotificationError(erDisconnect, errno);
    }
    return false;
}

void TCustomWinSocket::HoldUnread()
{
    const qsizetype room = kMaxUnreadBytes - unread_.size();
    const qsizetype wanted =
        std::min<qsizetype>(room, SocketCalls::BytesWaiting(descriptor_.Get()));
    if (wanted > 0) {
        const qsizetype before = unread_.size();
        unread_.resize(before + wanted);
        const ssize_t got =
            SocketCalls::Receive(descriptor_.Get(), unread_.data() + before, std::size_t(wanted));
        unread_.resize(before + std::max<qsizetype>(got, 0));
    }
    if (unread_.size() >= kMaxUnreadBytes && descriptor_.Valid()) {
        readHeld_ = true;
        SetReadInterest(false);
    }
}

// A notification that carries an error goes to the error handler and no further: the
// connection is not torn down by it, but it can report nothing more, so reading stops.
void TCustomWinSocket::ReportNotificationError(TErrorEvent kind, int code)
{
    if (descriptor_.Valid()) {
        SetReadInterest(false);
    }
    int errorCode = code;
    NotifyError(kind, errorCode);
    if (errorCode != 0) {
        throw ESocketError(Texts::AsyncSocketError.arg(errorCode));
    }
}
