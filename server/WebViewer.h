#pragma once

#include <QObject>
#include <QPointer>
#include <QWebSocketProtocol>
#include <deque>
#include <functional>

#include "server/MemoryBudget.h"
#include "server/ViewerConnection.h"

class QTcpSocket;
class QWebSocket;

// One browser viewer on a WebSocket. Frames go out as binary messages, the page's
// control texts as text messages; every message that comes in is keys. It deletes
// itself once its connection is gone (its parent deletes any left at the end).
class WebViewer : public QObject, public ViewerConnection
{
    Q_OBJECT

public:
    // Takes the socket. transport is the TCP connection under it, where the bytes not
    // yet written wait; the viewer reads their count from there. What waits counts in
    // `budget`, which must outlive the viewer.
    WebViewer(QWebSocket* socket, QTcpSocket* transport, MemoryBudget& budget,
              QObject* parent = nullptr);
    ~WebViewer() override;

    Encoding FrameEncoding() const override { return Encoding::Raw; }
    void Send(const QByteArray& bytes) override;
    // The memory its queued messages hold, as the budget measures it.
    qsizetype PendingBytes() const override { return memory_.Bytes(); }
    bool IsConnected() const override;
    QString PeerAddress() override;
    void Close() override;

    // A text message for the page (speed, terminal size).
    void SendControl(const QString& text);

    // Called once, when the viewer leaves for whatever reason.
    std::function<void(WebViewer*)> OnLeave;
    // Everything waiting has been written.
    std::function<void(WebViewer*)> OnWritable;
    std::function<void(WebViewer*, const QByteArray&)> OnKeys;

private:
    // A message the transport holds, and what it was charged. end is the stream offset
    // just past its last byte.
    struct Queued
    {
        qint64 end;
        qsizetype memory;
    };

    // Queues a message already charged to memory_; write hands it to the socket.
    template <typename Write>
    void Queue(qsizetype memory, Write write);
    // Runs write, which writes to the system, without telling OnWritable meanwhile.
    template <typename Write>
    void Flush(Write write);
    // Bytes waiting in the transport.
    qint64 Waiting() const;
    // Gives back what the messages written since the last look held.
    void TakeWritten();
    void BytesWritten();
    void CloseBehind();
    void CloseWith(QWebSocketProtocol::CloseCode code, const QString& reason);
    void Leave();

    QWebSocket* socket_;
    QPointer<QTcpSocket> transport_;
    MemoryBudget::Account memory_;
    std::deque<Queued> queued_;  // oldest first
    // How much of the stream the transport has written, as far as this viewer has seen,
    // and what waited at the last look. Bytes the library queues of its own (a pong)
    // make the count fall short, never overshoot: a message is never given back early.
    qint64 written_ = 0;
    qint64 lastWaiting_ = 0;
    bool flushing_ = false;
    bool left_ = false;
};
