#include "server/WebViewer.h"

#include <QHostAddress>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include "platform/ErrorDisplay.h"

namespace {
// Keys are a few bytes at a time; anything larger is not a viewer typing.
constexpr qint64 kMaxIncomingMessage = 64 * 1024;
// A closed viewer gets this long to take the close frame before its connection is cut.
// What it holds meanwhile is only what was already on its way.
constexpr int kCloseGraceMs = 5000;
}  // namespace

WebViewer::WebViewer(QWebSocket* socket, QTcpSocket* transport, MemoryBudget& budget,
                     QObject* parent)
    : QObject(parent), socket_(socket), transport_(transport), memory_(budget)
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
    connect(socket_, &QWebSocket::bytesWritten, this,
            [this] { ErrorDisplay::Guard([this] { BytesWritten(); }); });
    if (transport_) {
        // The library answers each ping it reads with a pong in the socket: what came in
        // is looked at once the library has had it, queued behind its own handling.
        connect(
            transport_, &QIODevice::readyRead, this,
            [this] { ErrorDisplay::Guard([this] { Recount(); }); }, Qt::QueuedConnection);
    }
    // Gone for good: the hub hears of it (if it has not already), and the object goes
    // on the next turn of the loop, out of the way of whoever is still using it.
    connect(socket_, &QWebSocket::disconnected, this, [this] {
        ErrorDisplay::Guard([this] { Leave(); });
        deleteLater();
    });
}

WebViewer::~WebViewer()
{
    OnLeave = nullptr;
    OnWritable = nullptr;
    OnKeys = nullptr;
    // The socket goes with this object; it must not report back into it on the way.
    disconnect(socket_, nullptr, this, nullptr);
    if (transport_) {
        disconnect(transport_, nullptr, this, nullptr);
    }
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
    return ClientAddress().toString();
}

QHostAddress WebViewer::ClientAddress() const
{
    const QHostAddress address = client_.value_or(socket_->peerAddress());
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}

void WebViewer::Send(const QByteArray& bytes)
{
    Queue(bytes, false);
}

void WebViewer::SendControl(const QString& text)
{
    Queue(text.toUtf8(), true);
}

// Charged before it is queued, shared rather than copied: what every viewer holds, on any
// transport, counts in the same budget, and past the bound the viewer goes.
void WebViewer::Queue(const QByteArray& bytes, bool text)
{
    if (!IsConnected() || bytes.isEmpty()) {
        return;
    }
    const qsizetype memory = MemoryBudget::MemoryOf(bytes);
    if (!memory_.TryCharge(memory)) {
        CloseBehind();
        return;
    }
    queue_.push_back({bytes, text, memory});
    queuedMemory_ += memory;
    HandOver();
}

// Each message is written at once, as a telnet viewer's send is: left to the socket, it
// would wait for the next turn of the loop, after every other viewer's.
void WebViewer::HandOver()
{
    if (writing_) {
        return;
    }
    {
        const QScopedValueRollback<bool> quiet(writing_, true);
        while (!queue_.empty() && IsConnected() && InFlight() < kInFlightBytes) {
            const Message message = std::move(queue_.front());
            queue_.pop_front();
            queuedMemory_ -= message.memory;
            if (message.text) {
                socket_->sendTextMessage(QString::fromUtf8(message.bytes));
            } else {
                socket_->sendBinaryMessage(message.bytes);
            }
            socket_->flush();
        }
    }
    Recount();
    if (!queue_.empty() || InFlight() > 0) {
        owesWritable_ = true;
    } else if (owesWritable_) {
        // Drained while writing: whoever waits hears of it from the loop, not inside a send.
        QMetaObject::invokeMethod(
            this, [this] { ErrorDisplay::Guard([this] { BytesWritten(); }); },
            Qt::QueuedConnection);
    }
}

qint64 WebViewer::InFlight() const
{
    return transport_ ? transport_->bytesToWrite() : 0;
}

void WebViewer::Recount()
{
    const qint64 inFlight = InFlight();
    const qsizetype held =
        queuedMemory_ + (inFlight > 0 ? MemoryBudget::MemoryOfCopy(inFlight) : 0);
    if (!memory_.Recount(held) && !left_) {
        CloseBehind();
    }
}

void WebViewer::BytesWritten()
{
    if (writing_) {
        return;
    }
    HandOver();
    if (owesWritable_ && queue_.empty() && InFlight() == 0 && !left_) {
        owesWritable_ = false;
        if (OnWritable) {
            OnWritable(this);
        }
    }
}

void WebViewer::Close()
{
    CloseWith(QWebSocketProtocol::CloseCodeNormal, QString());
}

void WebViewer::TurnAway(const QString& reason)
{
    // A code of the application's own range, so the page can tell it from a failure.
    CloseWith(static_cast<QWebSocketProtocol::CloseCode>(kTurnedAwayCloseCode), reason);
}

void WebViewer::Refuse()
{
    // 1013, "try again later": not in the library's list of codes, but in the protocol's.
    CloseWith(static_cast<QWebSocketProtocol::CloseCode>(1013), QStringLiteral("Try again later"));
}

// A viewer this far behind would hold ever more memory; it is let go with a close code,
// and the others carry on.
void WebViewer::CloseBehind()
{
    CloseWith(QWebSocketProtocol::CloseCodePolicyViolated,
              QStringLiteral("Too far behind the playback"));
}

// What waits here is dropped; the close frame follows what the socket already holds, and
// a viewer that does not read that in time is cut off.
void WebViewer::CloseWith(QWebSocketProtocol::CloseCode code, const QString& reason)
{
    if (left_) {
        return;
    }
    queue_.clear();
    queuedMemory_ = 0;
    {
        const QScopedValueRollback<bool> quiet(writing_, true);
        socket_->close(code, reason);
    }
    Leave();
    Recount();
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
