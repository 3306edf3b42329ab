#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <climits>
#include <functional>

#include "platform/Exceptions.h"
#include "platform/UniqueFd.h"
#include "server/MemoryBudget.h"
#include "server/SendQueue.h"
#include "server/SocketEvents.h"
#include "server/SocketPoller.h"

// Received bytes a connection holds for a read handler that left them unread; past this
// the connection stops reading until the handler takes some.
inline constexpr qsizetype kMaxUnreadBytes = qsizetype{64} * 1024;

// State and operations common to the listening socket and its connections: the
// descriptor and its readiness, the events, and a connection's I/O (sending through its own
// queue, receiving with held input, hanging up).
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
    // Every byte waiting at this moment, possibly none; at most `limit` of them, the rest
    // staying for the next read notification.
    QByteArray ReceiveAvailableText(int limit = INT_MAX);
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
