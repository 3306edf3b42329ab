#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/UniqueFd.h"
#include "server/MemoryBudget.h"
#include "server/SendQueue.h"
#include "server/SocketPoller.h"

class QTimer;
class TCustomWinSocket;
class TServerWinSocket;
class TServerClientWinSocket;
class TServerSocket;

enum TServerType
{
    stNonBlocking = 0,
    stThreadBlocking = 1
};
enum TErrorEvent
{
    erGeneral = 0,
    erSend = 1,
    erReceive = 2,
    erConnect = 3,
    erDisconnect = 4,
    erAccept = 5,
    erLookup = 6
};
enum TSocketEventKind
{
    skLookup = 0,
    skConnecting = 1,
    skConnect = 2,
    skDisconnect = 3,
    skListen = 4,
    skAccept = 5,
    skWrite = 6,
    skRead = 7
};

using TSocketNotifyEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket)>;
using TSocketErrorEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode)>;
using TGetSocketEvent =
    std::function<void(QObject* Sender, int Socket, TServerClientWinSocket*& ClientSocket)>;

// Received bytes a connection holds for a read handler that left them unread; past this
// the connection stops reading until the handler takes some.
inline constexpr qsizetype kMaxUnreadBytes = qsizetype{64} * 1024;

// State and operations common to the listening socket and its connections.
class TCustomWinSocket : public QObject, protected SocketReadiness
{
    Q_OBJECT

public:
    ~TCustomWinSocket() override;

    int SocketDescriptor() const { return descriptor_.Valid() ? descriptor_.Get() : -1; }
    bool IsConnected() const { return connected_; }

    // Never blocks. Returns the bytes the system took at this call, 0 when not connected,
    // -1 when it took none. What it did not take waits in the connection's own queue and
    // goes out, in order, when the socket is writable again.
    int SendBytes(const void* buffer, int count);
    // The same, sharing the bytes with the queue instead of copying them.
    int SendBytes(const QByteArray& bytes);
    // Bytes received; with count -1, the number of bytes waiting.
    int ReceiveBytes(void* buffer, int count);
    // Every byte waiting at this moment, possibly none.
    QByteArray ReceiveAvailableText();
    // The peer's IPv4 address in dotted-decimal form, or empty when not connected.
    QString PeerAddress();
    // Close now.
    void Hangup();
    // Memory this connection's queue holds for bytes still waiting, as the memory budget
    // measures it; 0 once everything has gone.
    qsizetype PendingBytes() const { return queueMemory_.Bytes(); }

protected:
    // What the queue holds counts in `budget`, which must outlive this object.
    TCustomWinSocket(int descriptor, MemoryBudget& budget, QObject* parent = nullptr);
    friend class TServerWinSocket;
    friend class TServerSocket;

    // Where this object's events and errors go; empty means nowhere. The target is the
    // object the event is about (a new connection, for the listening object's accept).
    using EventSink = std::function<void(TCustomWinSocket* target, TSocketEventKind kind)>;
    using ErrorSink =
        std::function<void(TCustomWinSocket* target, TErrorEvent kind, int& errorCode)>;

    void Notify(TSocketEventKind kind, TCustomWinSocket* target = nullptr);
    void NotifyError(TErrorEvent kind, int& errorCode);
    // Closes the connection when the descriptor given is still this object's own.
    virtual void TearDown(int descriptor);
    // Drops the notifiers, the queue and held input, then closes the descriptor.
    void CloseDescriptor(bool raiseOnFailure);
    // Starts read notifications (and write notifications on demand) for a connection.
    void SelectConnectionEvents();
    void SetReadInterest(bool wanted);
    void SetWriteInterest(bool wanted);

    // The server's readiness set; the listening object and its connections share it.
    SocketPoller* poller_ = nullptr;
    bool readInterest_ = false;
    bool writeInterest_ = false;

    UniqueFd descriptor_;
    bool connected_ = false;
    EventSink eventSink_;
    ErrorSink errorSink_;

private:
    void SocketReady(int descriptor, bool readable, bool writable) override;
    int SendShared(const char* data, qsizetype size, const QByteArray* shared);
    bool Enqueue(const QByteArray& bytes, qsizetype offset);
    void DiscardQueue();
    // Sends what waits; true once the queue is empty. False also when the connection
    // failed, in which case this object may be gone.
    bool Flush();
    int FailTransfer(TErrorEvent kind, int code, const char* api);
    void ReportNotificationError(TErrorEvent kind, int code);
    void HandleRead(int descriptor);
    bool HandleQuietReadable(int descriptor);
    void HoldUnread();
    qsizetype TakeUnread(char* buffer, qsizetype count);
    void HandleWrite(int descriptor);

    SendQueue sendQueue_;
    MemoryBudget::Account queueMemory_;
    QByteArray unread_;
    bool readHeld_ = false;     // reading paused while unread_ is full
    quint64 receiveCalls_ = 0;  // recv calls made through ReceiveBytes
};

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
    void Open(quint16 port);
    void OpenSteps(quint16 port);
    void HandleAccept(int descriptor);
    void ShortOfDescriptors(int descriptor);
    void RefuseNewcomer(int descriptor);
    void PauseAccepting();
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
    // Held open to be given up when the descriptors run out, so that the connection that
    // cannot be served can still be accepted and closed instead of waiting in the backlog.
    UniqueFd reserve_;
    QElapsedTimer descriptorsShortSince_;  // invalid while accepting succeeds
    QTimer* acceptPause_ = nullptr;
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
    QString service_;
};
