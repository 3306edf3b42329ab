#include "server/ScktComp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <QPointer>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/SocketCalls.h"

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
      acceptor_([this](bool accepting) {
          if (connected_) {
              SetReadInterest(accepting);
          }
      })
{
    poller_ = ownPoller_.get();
    eventSink_ = [component](TCustomWinSocket* target, TSocketEventKind kind) {
        component->ListenerEvent(target, kind);
    };
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

void TServerWinSocket::Open(const QByteArray& address, quint16 port)
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
    const int family = address.isEmpty() ? AF_INET : SocketCalls::FamilyOf(address);
    if (family == 0) {
        SocketCalls::Raise(EINVAL, QStringLiteral("inet_pton"));
    }
    descriptor_ = UniqueFd(SocketCalls::OpenStream(family));
    if (!descriptor_.Valid()) {
        throw ESocketError(Texts::CannotCreateSocket);
    }
    try {
        OpenSteps(address, port);
    } catch (...) {
        TearDown(SocketDescriptor());
        throw;
    }
}

void TServerWinSocket::OpenSteps(const QByteArray& address, quint16 port)
{
    const int fd = descriptor_.Get();
    SocketAcceptor::Bind(fd, address, port);
    Notify(skListen);
    acceptor_.Listen(fd);
    // Selected only once listening: a bound socket that does not listen yet polls as hung
    // up, which would wake the loop for nothing.
    poller_->Watch(fd, this);
    SetReadInterest(true);
    connected_ = true;
}

void TServerWinSocket::TearDown(int descriptor)
{
    if (descriptor < 0 || descriptor != SocketDescriptor()) {
        return;
    }
    FreeConnections();
    acceptor_.Stop();
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
    UniqueFd accepted = acceptor_.Accept(descriptor);
    if (!accepted.Valid()) {
        return;
    }
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
        listening_->Open(address_, ResolvePort());
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

void TServerSocket::SetAddress(const QByteArray& address)
{
    if (address == address_) {
        return;
    }
    if (active_) {
        throw ESocketError(Texts::SocketInUse);
    }
    address_ = address;
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
