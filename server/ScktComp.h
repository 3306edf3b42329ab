#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <vector>

#include "server/CustomWinSocket.h"
#include "server/MemoryBudget.h"
#include "server/SocketAcceptor.h"
#include "server/SocketEvents.h"
#include "server/SocketPoller.h"

// The server component: a listening socket that accepts any number of connections, keeps
// them in order of acceptance and reports everything that happens as events on the loop.
// A connection's I/O is TCustomWinSocket's (server/CustomWinSocket.h); taking connections
// off the listening socket is SocketAcceptor's.

class TServerSocket;
class TServerWinSocket;

// One accepted connection.
class TServerClientWinSocket : public TCustomWinSocket
{
    Q_OBJECT

public:
    TServerClientWinSocket(int descriptor, TServerWinSocket* server);
    ~TServerClientWinSocket() override;
    TServerWinSocket* ServerWinSocket() const { return server_; }

private:
    TServerWinSocket* server_;
};

// The listening socket: owns the connections and holds the client-side handlers.
class TServerWinSocket : public TCustomWinSocket
{
    Q_OBJECT

public:
    TServerWinSocket(TServerSocket* component, MemoryBudget& budget);
    ~TServerWinSocket() override;

    int ConnectionCount() const;
    // Raises EListError for an index outside 0..ConnectionCount()-1.
    TServerClientWinSocket* ConnectionAt(int index) const;

    TGetSocketEvent OnGetSocket;
    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    TSocketNotifyEvent OnClientWrite;
    TSocketErrorEvent OnClientError;

protected:
    void TearDown(int descriptor) override;

private:
    friend class TServerSocket;
    friend class TCustomWinSocket;
    friend class TServerClientWinSocket;

    void SocketReady(int descriptor, bool readable, bool writable) override;
    void Open(const QByteArray& address, quint16 port);
    void OpenSteps(const QByteArray& address, quint16 port);
    void HandleAccept(int descriptor);
    TServerClientWinSocket* MakeConnection(UniqueFd& accepted);
    void ClientEvent(TServerClientWinSocket* connection, TSocketEventKind kind);
    void ClientError(TServerClientWinSocket* connection, TErrorEvent kind, int& errorCode);
    void FreeConnections();
    int BoundPort() const;

    TServerSocket* component_;
    MemoryBudget& budget_;  // what every connection's queue counts in
    std::vector<TServerClientWinSocket*> connections_;
    TServerType serverType_ = stNonBlocking;
    int threadCacheSize_ = 0;
    // The readiness set of this server and its connections; they are all freed in the
    // destructor's body, before it goes.
    std::unique_ptr<SocketPoller> ownPoller_;
    SocketAcceptor acceptor_;
};

// The component on the form.
class TServerSocket : public QObject
{
    Q_OBJECT

    // Declared first: the handler references below refer into it.
    std::unique_ptr<TServerWinSocket> listening_;

public:
    // What the connections' queues hold counts in `budget`, against its limits; it must
    // outlive the component.
    explicit TServerSocket(MemoryBudget& budget, QObject* parent = nullptr);
    ~TServerSocket() override;

    bool Active() const { return active_; }
    void SetActive(bool active);
    int Port() const { return port_; }
    void SetPort(int port);
    // The numeric address to listen on ("127.0.0.1", "::"); empty: every IPv4 interface.
    QByteArray Address() const { return address_; }
    void SetAddress(const QByteArray& address);
    QString Service() const { return service_; }
    void SetService(const QString& service);
    TServerType ServerType() const;
    void SetServerType(TServerType type);
    int ThreadCacheSize() const;
    void SetThreadCacheSize(int size);
    TServerWinSocket* ListeningSocket() const { return listening_.get(); }
    // The port the listening socket is bound to (from getsockname), 0 when closed.
    int LocalPort() const;

    TSocketNotifyEvent OnListen;
    TSocketNotifyEvent OnAccept;
    // These live in the listening object; the component's names refer to them.
    TGetSocketEvent& OnGetSocket;
    TSocketNotifyEvent& OnClientConnect;
    TSocketNotifyEvent& OnClientDisconnect;
    TSocketNotifyEvent& OnClientRead;
    TSocketNotifyEvent& OnClientWrite;
    TSocketErrorEvent& OnClientError;

private:
    friend class TServerWinSocket;
    void ListenerEvent(TCustomWinSocket* target, TSocketEventKind kind);
    quint16 ResolvePort() const;

    bool active_ = false;
    int port_ = 0;
    QByteArray address_;
    QString service_;
};
