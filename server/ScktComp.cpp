#include "server/ScktComp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/SocketCalls.h"

namespace {

// Asked of listen(): the system's maximum, so that a crowd connecting at once waits in
// the backlog rather than on the clients' SYN retransmits (a second or more each).
constexpr int kBacklog = SOMAXCONN;
// Blocks handed to one writev; a connection rarely has more waiting.
constexpr int kBlocksPerSend = 64;
// How long a shortage of descriptors may last before newcomers are refused.
constexpr qint64 kRefuseAfterMs = 1000;

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

QByteArray TCustomWinSocket::ReceiveAvailableText()
{
    const int waiting = ReceiveBytes(nullptr, -1);
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

// --- TServerClientWinSocket -----------------------------------------------------------------

TServerClientWinSocket::TServerClientWinSocket(int descriptor, TServerWinSocket* server)
    : TCustomWinSocket(descriptor, server->budget_), server_(server)
{
    poller_ = server->ownPoller_.get();
    eventSink_ = [server](TCustomWinSocket* target, TSocketEventKind kind) {
        server->ClientEvent(static_cast<TServerClientWinSocket*>(target), kind);
    };
    errorSink_ = [server](TCustomWinSocket* target, TErrorEvent kind, int& errorCode) {
        server->ClientError(static_cast<TServerClientWinSocket*>(target), kind, errorCode);
    };
    if (descriptor_.Valid()) {
        SelectConnectionEvents();
    }
    auto& list = server->connections_;
    if (std::find(list.begin(), list.end(), this) == list.end()) {
        list.push_back(this);
    }
}

TServerClientWinSocket::~TServerClientWinSocket()
{
    // Removing closes the gap, so the list stays in order of acceptance.
    auto& list = server_->connections_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

// --- TServerWinSocket -----------------------------------------------------------------------

TServerWinSocket::TServerWinSocket(TServerSocket* component, MemoryBudget& budget)
    : TCustomWinSocket(-1, budget),
      component_(component),
      budget_(budget),
      ownPoller_(std::make_unique<SocketPoller>()),
      acceptPause_(new QTimer(this))
{
    poller_ = ownPoller_.get();
    eventSink_ = [component](TCustomWinSocket* target, TSocketEventKind kind) {
        component->ListenerEvent(target, kind);
    };
    acceptPause_->setSingleShot(true);
    acceptPause_->setInterval(SocketCalls::kAcceptPauseMs);
    connect(acceptPause_, &QTimer::timeout, this, [this] {
        if (connected_) {
            SetReadInterest(true);
        }
    });
}

TServerWinSocket::~TServerWinSocket()
{
    eventSink_ = nullptr;
    FreeConnections();
    CloseDescriptor(false);
    // The base destructor runs after the set is gone.
    poller_ = nullptr;
}

void TServerWinSocket::SocketReady(int descriptor, bool readable, bool)
{
    if (readable) {
        ErrorDisplay::Guard([this, descriptor] { HandleAccept(descriptor); });
    }
}

int TServerWinSocket::ConnectionCount() const
{
    return static_cast<int>(connections_.size());
}

TServerClientWinSocket* TServerWinSocket::ConnectionAt(int index) const
{
    if (index < 0 || index >= ConnectionCount()) {
        throw EListError(Texts::ListIndexOutOfBounds.arg(index));
    }
    return connections_[std::size_t(index)];
}

void TServerWinSocket::Open(quint16 port)
{
    if (connected_) {
        throw ESocketError(Texts::CannotListenOnOpenSocket);
    }
    if (serverType_ == stThreadBlocking) {
        throw ESocketError(Texts::ThreadModeUnsupported);
    }
    if (!ownPoller_->Valid()) {
        SocketCalls::Raise(ownPoller_->CreateError(), QStringLiteral("epoll_create1"));
    }
    descriptor_ = UniqueFd(SocketCalls::OpenStream());
    if (!descriptor_.Valid()) {
        throw ESocketError(Texts::CannotCreateSocket);
    }
    try {
        OpenSteps(port);
    } catch (...) {
        TearDown(SocketDescriptor());
        throw;
    }
}

void TServerWinSocket::OpenSteps(quint16 port)
{
    const int fd = descriptor_.Get();
    const char* api = "";
    if (const int code = SocketCalls::BindAny(fd, port, &api); code != 0) {
        SocketCalls::Raise(code, QString::fromLatin1(api));
    }
    Notify(skListen);
    if (::listen(fd, kBacklog) != 0) {
        SocketCalls::Raise(errno, QStringLiteral("listen"));
    }
    // Selected only once listening: a bound socket that does not listen yet polls as hung
    // up, which would wake the loop for nothing.
    poller_->Watch(fd, this);
    SetReadInterest(true);
    reserve_ = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    connected_ = true;
}

void TServerWinSocket::TearDown(int descriptor)
{
    if (descriptor < 0 || descriptor != SocketDescriptor()) {
        return;
    }
    FreeConnections();
    acceptPause_->stop();
    reserve_.Close();
    TCustomWinSocket::TearDown(descriptor);
}

void TServerWinSocket::FreeConnections()
{
    // The last first; each destructor unlists its object, and a release still queued for
    // one of them dies with it.
    while (!connections_.empty()) {
        delete connections_.back();
    }
}

int TServerWinSocket::BoundPort() const
{
    return SocketCalls::LocalPort(SocketDescriptor());
}

// One connection per notification; the notifier fires again while more are pending.
void TServerWinSocket::HandleAccept(int descriptor)
{
    if (descriptor < 0 || descriptor != SocketDescriptor()) {
        return;
    }
    UniqueFd accepted(SocketCalls::Accept(descriptor));
    if (!accepted.Valid()) {
        if (errno == EMFILE || errno == ENFILE) {
            ShortOfDescriptors(descriptor);
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            PauseAccepting();
        }
        return;
    }
    descriptorsShortSince_.invalidate();
    QPointer<TServerClientWinSocket> connection(MakeConnection(accepted));
    if (!connection) {
        return;
    }
    try {
        connection->Notify(skConnect);
    } catch (...) {
        // A connection its connect handler refused is dropped at once, without events.
        delete connection.data();
        throw;
    }
    if (connection) {
        Notify(skAccept, connection);
    }
}

// Out of descriptors. A shortage often passes (a catch-up's descriptor, a viewer leaving),
// so accepting first rests and tries again. Once it has lasted kRefuseAfterMs, newcomers
// are refused: left in the backlog, each would wait there, connected as far as it knows,
// until some viewer leaves, which may be never.
void TServerWinSocket::ShortOfDescriptors(int descriptor)
{
    if (!descriptorsShortSince_.isValid()) {
        descriptorsShortSince_.start();
    }
    if (descriptorsShortSince_.elapsed() < kRefuseAfterMs) {
        PauseAccepting();
        return;
    }
    RefuseNewcomer(descriptor);
}

// The reserve descriptor is given up for the moment it takes to accept the newcomer and
// close it, so it is told at once; the viewers already served go on as before.
void TServerWinSocket::RefuseNewcomer(int descriptor)
{
    if (reserve_.Valid()) {
        reserve_.Close();
        UniqueFd refused(SocketCalls::Accept(descriptor));
        const bool closedOne = refused.Valid();
        refused.Close();
        reserve_ = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (closedOne) {
            return;
        }
    }
    // No reserve to give (the whole system is out): rest a moment instead of spinning.
    PauseAccepting();
}

// Without memory or a descriptor to spare the pending connection cannot be taken, and the
// listening socket stays readable: accepting rests a moment instead of spinning.
void TServerWinSocket::PauseAccepting()
{
    if (connected_) {
        SetReadInterest(false);
        acceptPause_->start();
    }
}

TServerClientWinSocket* TServerWinSocket::MakeConnection(UniqueFd& accepted)
{
    const int fd = accepted.Get();
    const auto ownedByList = [this, fd] {
        return std::any_of(connections_.begin(), connections_.end(),
                           [fd](TServerClientWinSocket* c) { return c->SocketDescriptor() == fd; });
    };
    TServerClientWinSocket* supplied = nullptr;
    if (const TGetSocketEvent handler = OnGetSocket) {
        try {
            handler(this, fd, supplied);
        } catch (...) {
            if (ownedByList()) {
                accepted.Release();
            }
            throw;
        }
    }
    if (supplied != nullptr) {
        if (ownedByList()) {
            accepted.Release();
        }
        return supplied;
    }
    return new TServerClientWinSocket(accepted.Release(), this);
}

void TServerWinSocket::ClientEvent(TServerClientWinSocket* connection, TSocketEventKind kind)
{
    TSocketNotifyEvent handler;
    switch (kind) {
        case skConnect:
            handler = OnClientConnect;
            break;
        case skRead:
            handler = OnClientRead;
            break;
        case skWrite:
            handler = OnClientWrite;
            break;
        case skDisconnect:
            handler = OnClientDisconnect;
            break;
        default:
            return;
    }
    if (kind != skDisconnect) {
        if (handler) {
            handler(this, connection);
        }
        return;
    }
    // Released on a later turn of the loop, even when the handler throws, so a closed
    // connection never stays listed for good.
    QPointer<TServerClientWinSocket> alive(connection);
    const auto release = qScopeGuard([&alive] {
        if (alive) {
            alive->deleteLater();
        }
    });
    if (handler) {
        handler(this, connection);
    }
}

void TServerWinSocket::ClientError(TServerClientWinSocket* connection, TErrorEvent kind,
                                   int& errorCode)
{
    if (const TSocketErrorEvent handler = OnClientError) {
        handler(this, connection, kind, errorCode);
    }
}

// --- TServerSocket --------------------------------------------------------------------------

TServerSocket::TServerSocket(MemoryBudget& budget, QObject* parent)
    : QObject(parent),
      listening_(std::make_unique<TServerWinSocket>(this, budget)),
      OnGetSocket(listening_->OnGetSocket),
      OnClientConnect(listening_->OnClientConnect),
      OnClientDisconnect(listening_->OnClientDisconnect),
      OnClientRead(listening_->OnClientRead),
      OnClientWrite(listening_->OnClientWrite),
      OnClientError(listening_->OnClientError)
{
    listening_->threadCacheSize_ = 10;
}

TServerSocket::~TServerSocket()
{
    listening_.reset();
}

void TServerSocket::SetActive(bool active)
{
    if (active == active_ || active == listening_->IsConnected()) {
        return;
    }
    if (active) {
        listening_->Open(ResolvePort());
    } else {
        listening_->TearDown(listening_->SocketDescriptor());
    }
}

void TServerSocket::SetPort(int port)
{
    if (port == port_) {
        return;
    }
    if (active_) {
        throw ESocketError(Texts::SocketInUse);
    }
    port_ = port;
}

void TServerSocket::SetService(const QString& service)
{
    if (service.compare(service_, Qt::CaseInsensitive) == 0) {
        return;
    }
    if (active_) {
        throw ESocketError(Texts::SocketInUse);
    }
    service_ = service;
}

TServerType TServerSocket::ServerType() const
{
    return listening_->serverType_;
}

void TServerSocket::SetServerType(TServerType type)
{
    if (type == listening_->serverType_) {
        return;
    }
    if (listening_->IsConnected()) {
        throw ESocketError(Texts::SocketInUse);
    }
    listening_->serverType_ = type;
}

int TServerSocket::ThreadCacheSize() const
{
    return listening_->threadCacheSize_;
}

void TServerSocket::SetThreadCacheSize(int size)
{
    listening_->threadCacheSize_ = size;
}

int TServerSocket::LocalPort() const
{
    return listening_->BoundPort();
}

// The service database is asked synchronously: the look-up is local and happens only when
// the server opens.
quint16 TServerSocket::ResolvePort() const
{
    if (service_.isEmpty()) {
        return static_cast<quint16>(port_ & 0xFFFF);
    }
    const servent* entry = ::getservbyname(service_.toLocal8Bit().constData(), "tcp");
    if (entry == nullptr) {
        throw ESocketError(
            Texts::SocketError.arg(QString::fromLocal8Bit(::gai_strerror(EAI_SERVICE)),
                                   QString::number(EAI_SERVICE), QStringLiteral("getservbyname")));
    }
    return ntohs(static_cast<uint16_t>(entry->s_port));
}

void TServerSocket::ListenerEvent(TCustomWinSocket* target, TSocketEventKind kind)
{
    switch (kind) {
        case skListen:
            active_ = true;
            if (const TSocketNotifyEvent handler = OnListen) {
                handler(this, target);
            }
            break;
        case skAccept:
            if (const TSocketNotifyEvent handler = OnAccept) {
                handler(this, target);
            }
            break;
        case skDisconnect:
            active_ = false;
            break;
        default:
            break;
    }
}
