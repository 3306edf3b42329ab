#include "server/WebViewer.h"

#include <QHostAddress>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>

#include "platform/ErrorDisplay.h"

namespace {
// Keys are a few bytes at a time; anything larger is not a viewer typing.
constexpr qint64 kMaxIncomingMessage = 64 * 1024;
// A closed viewer gets this long to take the close frame before its
// connection, and the bytes it holds, are dropped.
constexpr int kCloseGraceMs = 2000;
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
    // Charged before it is queued: what every viewer holds, on any transport, counts in
    // the same budget.
    const qsizetype memory = MemoryBudget::MemoryOfCopy(bytes.size());
    if (!memory_.TryCharge(memory)) {
        CloseBehind();
        return;
    }
    Queue(memory, [&] { socket_->sendBinaryMessage(bytes); });
    // Written now, as a telnet viewer's send is: left to the socket, the bytes would wait
    // for the next turn of the loop, after every other viewer's.
    Flush([this] { socket_->flush(); });
}

void WebViewer::SendControl(const QString& text)
{
    if (!IsConnected()) {
        return;
    }
    // A few bytes each: counted like any message, but never a reason to let the page go.
    const qsizetype memory = MemoryBudget::MemoryOfCopy(text.toUtf8().size());
    memory_.Charge(memory);
    Queue(memory, [&] { socket_->sendTextMessage(text); });
}

// The socket copies a message into its transport's write buffer, behind whatever waits
// there, and writes none of it until it is flushed or the loop turns: the message ends
// where the stream written so far and everything waiting now end.
template <typename Write>
void WebViewer::Queue(qsizetype memory, Write write)
{
    TakeWritten();
    write();
    lastWaiting_ = Waiting();
    queued_.push_back({written_ + lastWaiting_, memory});
}

// Writing to the system inside a send or a close reports bytes written at once; the
// sender looks at what waits itself, and telling it here would run its next send inside
// this one.
template <typename Write>
void WebViewer::Flush(Write write)
{
    {
        const QScopedValueRollback<bool> quiet(flushing_, true);
        write();
    }
    TakeWritten();
}

qint64 WebViewer::Waiting() const
{
    return transport_ ? transport_->bytesToWrite() : 0;
}

void WebViewer::TakeWritten()
{
    const qint64 waiting = Waiting();
    written_ += std::max<qint64>(lastWaiting_ - waiting, 0);
    lastWaiting_ = waiting;
    while (!queued_.empty() && (waiting == 0 || queued_.front().end <= written_)) {
        memory_.Release(queued_.front().memory);
        queued_.pop_front();
    }
}

void WebViewer::BytesWritten()
{
    TakeWritten();
    if (queued_.empty() && !flushing_ && !left_ && OnWritable) {
        OnWritable(this);
    }
}

void WebViewer::Close()
{
    CloseWith(QWebSocketProtocol::CloseCodeNormal, QString());
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
    Flush([&] { socket_->close(code, reason); });
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
