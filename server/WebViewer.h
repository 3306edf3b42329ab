#pragma once

#include <QObject>
#include <QPointer>
#include <QWebSocketProtocol>
#include <functional>

#include "server/ViewerConnection.h"

class QTcpSocket;
class QWebSocket;

// Bytes one web viewer, and all of them together, may keep waiting.
struct WebViewerBounds
{
    qsizetype perViewer;
    qsizetype total;
};

// One browser viewer on a WebSocket. Frames go out as binary messages, the page's
// control texts as text messages; every message that comes in is keys. It deletes
// itself once its connection is gone (its parent deletes any left at the end).
class WebViewer : public QObject, public ViewerConnection
{
    Q_OBJECT

public:
    // Takes the socket. transport is the TCP connection under it, where the bytes not
    // yet written wait; the viewer reads its count from there.
    WebViewer(QWebSocket* socket, QTcpSocket* transport, WebViewerBounds bounds,
              QObject* parent = nullptr);
    ~WebViewer() override;

    Encoding FrameEncoding() const override { return Encoding::Raw; }
    void Send(const QByteArray& bytes) override;
    qsizetype PendingBytes() const override { return pending_; }
    bool IsConnected() const override;
    QString PeerAddress() override;
    void Close() override;

    // A text message for the page (speed, terminal size).
    void SendControl(const QString& text);

    // Bytes waiting in every web viewer's connection.
    static qsizetype PendingBytesTotal() { return pendingTotal_; }

    // Called once, when the viewer leaves for whatever reason.
    std::function<void(WebViewer*)> OnLeave;
    // Everything waiting has been written.
    std::function<void(WebViewer*)> OnWritable;
    std::function<void(WebViewer*, const QByteArray&)> OnKeys;

private:
    // Re-reads what waits in the transport and keeps the totals in step.
    void UpdatePending();
    bool FitsBounds(qsizetype more) const;
    void CloseBehind();
    void CloseWith(QWebSocketProtocol::CloseCode code, const QString& reason);
    void Leave();

    QWebSocket* socket_;
    QPointer<QTcpSocket> transport_;
    WebViewerBounds bounds_;
    qsizetype pending_ = 0;
    bool left_ = false;
    static qsizetype pendingTotal_;
};
