#include "server/WebViewer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include "platform/ErrorDisplay.h"
#include "server/ScktComp.h"

namespace {
// Keys are a few bytes at a time; anything larger is not a viewer typing.
constexpr qint64 kMaxIncomingMessage = 64 * 1024;
// A closed viewer gets this long to take the close frame before its
// connection, and the bytes it holds, are dropped.
constexpr int kCloseGraceMs = 2000;
}  // namespace

qsizetype WebViewer::pendingTotal_ = 0;

WebViewer::WebViewer(QWebSocket* socket, QTcpSocket* transport, WebViewerBounds bounds,
                     QObject* parent)
    : QObject(parent), socket_(socket), transport_(transport), bounds_(bounds)
{
    socket_->setParent(this);
    socket_->setMaxAllowedIncomingMessageSize(kMaxIncomingMessage);
    socket_->setMaxAllowedIncomingFrameSize(kMaxIncomingMessage);
    connect(socket_, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& keys) {
        ErrorDisplay::Guard([&] {
            if (OnKeys && !left_) {
                OnKeys(this, keys);
            }
        });
    });
    connect(socket_, &QWebSocket::textMessageReceived, this, [this](const QString& keys) {
        ErrorDisplay::Guard([&] {
            if (OnKeys && !left_) {
                OnKeys(this, keys.toUtf8());
            }
        });
    });
    connect(socket_, &QWebSocket::bytesWritten, this, [this] {
        ErrorDisplay::Guard([this] {
            UpdatePending();
            if (pending_ == 0 && !left_ && OnWritable) {
                OnWritable(this);
            }
        });
    });
    // Gone for good: the hub hears of it (if it has not already), and the object goes
    // on the next turn of the loop, out of the way of whoever is still using it.
    connect(socket_, &QWebSocket::disconnected, this, [this] {
        ErrorDisplay::Guard([this] { Leave(); });
        deleteLater();
    });
}

WebViewer::~WebViewer()
{
    pendingTotal_ -= pending_;
    OnLeave = nullptr;
    OnWritable = nullptr;
    OnKeys = nullptr;
    // The socket goes with this object; it must not report back into it on the way.
    disconnect(socket_, nullptr, this, nullptr);
    socket_->abort();
    delete socket_;
    // Freed with the WebSocket or not, depending on the library's version; never twice.
    delete transport_.data();
}

bool WebViewer::IsConnected() const
{
    return !left_ && socket_->state() == QAbstractSocket::ConnectedState;
}

QString WebViewer::PeerAddress()
{
    const QHostAddress address = socket_->peerAddress();
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

void WebViewer::Send(const QByteArray& bytes)
{
    if (!IsConnected() || bytes.isEmpty()) {
        return;
    }
    if (!FitsBounds(bytes.size())) {
        CloseBehind();
        return;
    }
    socket_->sendBinaryMessage(bytes);
    // Written now, as a telnet viewer's send is: left to the socket, the bytes would wait
    // for the next turn of the loop, after every other viewer's.
    socket_->flush();
    UpdatePending();
}

void WebViewer::SendControl(const QString& text)
{
    if (IsConnected()) {
        socket_->sendTextMessage(text);
        UpdatePending();
    }
}

void WebViewer::Close()
{
    CloseWith(QWebSocketProtocol::CloseCodeNormal, QString());
}

void WebViewer::UpdatePending()
{
    const qsizetype now = transport_ ? transport_->bytesToWrite() : 0;
    pendingTotal_ += now - pending_;
    pending_ = now;
}

bool WebViewer::FitsBounds(qsizetype more) const
{
    return pending_ + more <= bounds_.perViewer &&
           pendingTotal_ + TCustomWinSocket::PendingBytesTotal() + more <= bounds_.total;
}

// A viewer this far behind would hold ever more memory; it is let go with a close code,
// and the others carry on.
void WebViewer::CloseBehind()
{
    CloseWith(QWebSocketProtocol::CloseCodePolicyViolated,
              QStringLiteral("Too far behind the playback"));
}

// The close frame waits behind what is already queued; a viewer that does not read that
// in time is cut off, so what it holds is freed.
void WebViewer::CloseWith(QWebSocketProtocol::CloseCode code, const QString& reason)
{
    if (left_) {
        return;
    }
    socket_->close(code, reason);
    Leave();
    QTimer::singleShot(kCloseGraceMs, socket_, [socket = socket_] { socket->abort(); });
}

void WebViewer::Leave()
{
    if (left_) {
        return;
    }
    left_ = true;
    if (OnLeave) {
        OnLeave(this);
    }
}
