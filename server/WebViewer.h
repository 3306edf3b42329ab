#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QWebSocketProtocol>
#include <deque>
#include <functional>
#include <optional>

#include "server/MemoryBudget.h"
#include "server/ViewerConnection.h"

class QTcpSocket;
class QWebSocket;

// One browser viewer on a WebSocket. Frames go out as binary messages, the page's
// control texts as text messages; every message that comes in is keys. It deletes
// itself once its connection is gone (its parent deletes any left at the end).
//
// What waits for the page is held here as whole messages, counted in the memory budget
// the moment they are queued, and handed to the socket only while little waits in the
// socket itself. So what the socket holds stays small whatever the page does: the
// library's own answers to pings, which it writes there unasked, are counted as they
// appear, and a page that falls too far behind is closed with a close frame that follows
// only what is already on its way, not everything it was behind.
class WebViewer : public QObject, public ViewerConnection
{
    Q_OBJECT

public:
    // Bytes handed to the socket while fewer than this many wait in it: a few frames'
    // worth, so a page that reads keeps its stream full and one that does not holds its
    // backlog here, where it can be dropped.
    static constexpr qint64 kInFlightBytes = 64 * 1024;
    // The close code of a newcomer turned away because the viewers are at their cap.
    static constexpr int kTurnedAwayCloseCode = 4001;

    // Takes the socket. transport is the TCP connection under it, where the bytes handed
    // over wait; the viewer reads their count from there. What waits counts in `budget`,
    // which must outlive the viewer.
    WebViewer(QWebSocket* socket, QTcpSocket* transport, MemoryBudget& budget,
              QObject* parent = nullptr);
    ~WebViewer() override;

    Encoding FrameEncoding() const override { return Encoding::Raw; }
    void Send(const QByteArray& bytes) override;
    // The memory its queued messages and its socket hold, as the budget measures it.
    qsizetype PendingBytes() const override { return memory_.Bytes(); }
    bool IsConnected() const override;
    // The client's address: the peer's, or the one a trusted proxy forwarded.
    QString PeerAddress() override;
    QHostAddress ClientAddress() const override;
    void SetClientAddress(const QHostAddress& client) { client_ = client; }
    void Close() override;
    void TurnAway(const QString& reason) override;
    // Closes a newcomer the program cannot serve now; the page tries again later.
    void Refuse();

    // A text message for the page (speed, terminal size).
    void SendControl(const QString& text);

    // Called once, when the viewer leaves for whatever reason.
    std::function<void(WebViewer*)> OnLeave;
    // Everything waiting has been written.
    std::function<void(WebViewer*)> OnWritable;
    std::function<void(WebViewer*, const QByteArray&)> OnKeys;

private:
    struct Message
    {
        QByteArray bytes;
        bool text;
        qsizetype memory;  // what it was charged
    };

    void Queue(const QByteArray& bytes, bool text);
    // Hands whole messages to the socket while little waits there, writing them at once.
    void HandOver();
    // Counts what is held now; a viewer whose socket grew past its bound is let go.
    void Recount();
    // Bytes waiting in the socket: messages handed over, and whatever the library wrote.
    qint64 InFlight() const;
    void BytesWritten();
    void CloseBehind();
    void CloseWith(QWebSocketProtocol::CloseCode code, const QString& reason);
    void Leave();

    QWebSocket* socket_;
    QPointer<QTcpSocket> transport_;
    std::optional<QHostAddress> client_;
    MemoryBudget::Account memory_;
    std::deque<Message> queue_;  // oldest first
    qsizetype queuedMemory_ = 0;
    // Writing to the socket reports bytes written at once; the writer looks itself, and
    // being told meanwhile would run its next send inside this one.
    bool writing_ = false;
    // Something had to wait since the viewer last said it took everything.
    bool owesWritable_ = false;
    bool left_ = false;
};
