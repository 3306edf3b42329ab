#include "server/WebServer.h"

#include <sys/socket.h>

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <cerrno>

#include "platform/ErrorDisplay.h"
#include "platform/SocketCalls.h"
#include "platform/UniqueFd.h"
#include "server/HttpRequestHead.h"
#include "server/HttpResponse.h"
#include "server/WebPage.h"

namespace {
// A browser opens a few connections at once for the page and its files.
constexpr int kBacklog = 64;
// A connection that has not finished its request, or not taken its answer, by then is
// dropped: it would otherwise hold its socket and buffers for as long as it likes.
constexpr int kRequestDeadlineMs = 30000;
// The WebSocket handshake after the hand-over.
constexpr int kHandshakeTimeoutMs = 10000;
const char* const kDeadlineName = "requestDeadline";
constexpr qint64 kWebSocketReadBytes = 128 * 1024;

// A browser page of another site must not steer the playback: a WebSocket request that
// names an origin must name this host.
bool SameOrigin(const HttpRequestHead& request)
{
    if (request.origin.isEmpty()) {
        return true;
    }
    return request.origin == QByteArray("http://").append(request.host) ||
           request.origin == QByteArray("https://").append(request.host);
}

QByteArray PlainBody(const char* text)
{
    return QByteArray(text) + '\n';
}
}  // namespace

WebServer::WebServer(MemoryBudget& budget, QObject* parent) : QObject(parent), budget_(budget) {}

WebServer::~WebServer()
{
    OnJoin = nullptr;
    OnLeave = nullptr;
    OnWritable = nullptr;
    OnReceived = nullptr;
    qDeleteAll(findChildren<WebViewer*>(Qt::FindDirectChildrenOnly));
    webSockets_.reset();
    listener_.reset();
}

void WebServer::Listen(int port)
{
    UniqueFd fd(SocketCalls::OpenStream());
    if (!fd.Valid()) {
        SocketCalls::Raise(errno, QStringLiteral("socket"));
    }
    const char* api = "";
    if (const int code = SocketCalls::BindAny(fd.Get(), static_cast<unsigned short>(port), &api);
        code != 0) {
        SocketCalls::Raise(code, QString::fromLatin1(api));
    }
    if (::listen(fd.Get(), kBacklog) != 0) {
        SocketCalls::Raise(errno, QStringLiteral("listen"));
    }
    auto listener = std::make_unique<QTcpServer>();
    if (!listener->setSocketDescriptor(fd.Get())) {
        SocketCalls::Raise(EBADF, QStringLiteral("listen"));
    }
    fd.Release();  // the listener owns it now
    connect(listener.get(), &QTcpServer::newConnection, this,
            [this] { ErrorDisplay::Guard([this] { Accept(); }); });

    webSockets_ = std::make_unique<QWebSocketServer>(QStringLiteral("Ombrix"),
                                                     QWebSocketServer::NonSecureMode);
    webSockets_->setHandshakeTimeout(kHandshakeTimeoutMs);
    connect(webSockets_.get(), &QWebSocketServer::newConnection, this,
            [this] { ErrorDisplay::Guard([this] { TakeWebSockets(); }); });
    listener_ = std::move(listener);
}

int WebServer::LocalPort() const
{
    return listener_ ? listener_->serverPort() : 0;
}

void WebServer::Accept()
{
    while (listener_->hasPendingConnections()) {
        QTcpSocket* socket = listener_->nextPendingConnection();
        // Only the request head is ever buffered here; the WebSocket reads the rest.
        socket->setReadBufferSize(kMaxRequestHeadBytes);
        auto* deadline = new QTimer(socket);
        deadline->setObjectName(QLatin1String(kDeadlineName));
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
        deadline->start(kRequestDeadlineMs);
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket] { ErrorDisplay::Guard([this, socket] { ReadRequest(socket); }); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void WebServer::ReadRequest(QTcpSocket* socket)
{
    // Peeked, not read: a WebSocket request goes to QtWebSockets exactly as it came.
    const QByteArray buffered = socket->peek(kMaxRequestHeadBytes);
    qsizetype headEnd = 0;
    const HttpHeadState state = FindRequestHeadEnd(buffered, &headEnd);
    if (state == HttpHeadState::Incomplete) {
        return;
    }
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    HttpRequestHead request;
    if (state == HttpHeadState::TooLarge) {
        socket->write(HttpResponse(431, "text/plain", PlainBody("Request head too large")));
    } else if (!ParseRequestHead(QByteArrayView(buffered).first(headEnd), &request)) {
        socket->write(HttpResponse(400, "text/plain", PlainBody("Bad request")));
    } else if (request.path == "/ws" && request.method == "GET" && request.webSocketUpgrade &&
               SameOrigin(request)) {
        Upgrade(socket);
        return;
    } else if (request.path == "/ws") {
        const int status = SameOrigin(request) ? 400 : 403;
        socket->write(HttpResponse(status, "text/plain", PlainBody("WebSocket only")));
    } else {
        Respond(socket, request);
    }
    socket->disconnectFromHost();
}

void WebServer::Respond(QTcpSocket* socket, const HttpRequestHead& request)
{
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        socket->write(HttpResponse(405, "text/plain", PlainBody("Method not allowed"), false,
                                   "Allow: GET, HEAD\r\n"));
        return;
    }
    const std::optional<WebResource> resource = FindWebResource(request.path);
    QFile file(resource ? resource->resourcePath : QString());
    if (!resource || !file.open(QIODevice::ReadOnly)) {
        socket->write(HttpResponse(404, "text/plain", PlainBody("Not found"), head));
        return;
    }
    socket->write(HttpResponse(200, resource->contentType, file.readAll(), head));
}

void WebServer::Upgrade(QTcpSocket* socket)
{
    delete socket->findChild<QTimer*>(QLatin1String(kDeadlineName));
    socket->disconnect(this);
    disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // What the page sends is read this much at a time: the library answers every ping in
    // it, and the viewer counts the answers once the read is handled. Room for the largest
    // frame a page may send, which the library waits to have whole.
    socket->setReadBufferSize(kWebSocketReadBytes);
    socket->setParent(webSockets_.get());
    handedOver_.emplace_back(socket);
    webSockets_->handleConnection(socket);
}

// QtWebSockets keeps the TCP connection it was handed but does not say which it is; the
// peer's address and port name it among the live ones.
QTcpSocket* WebServer::TakeTransport(const QWebSocket* socket)
{
    QTcpSocket* found = nullptr;
    std::erase_if(handedOver_, [&](const QPointer<QTcpSocket>& transport) {
        if (transport.isNull()) {
            return true;
        }
        if (found == nullptr && transport->peerPort() == socket->peerPort() &&
            transport->peerAddress() == socket->peerAddress()) {
            found = transport.data();
            return true;
        }
        return false;
    });
    return found;
}

void WebServer::TakeWebSockets()
{
    while (webSockets_->hasPendingConnections()) {
        QWebSocket* socket = webSockets_->nextPendingConnection();
        AddViewer(new WebViewer(socket, TakeTransport(socket), budget_, this));
    }
}

void WebServer::AddViewer(WebViewer* viewer)
{
    viewer->OnLeave = [this](WebViewer* v) {
        if (OnLeave) {
            OnLeave(v);
        }
    };
    viewer->OnWritable = [this](WebViewer* v) {
        if (OnWritable) {
            OnWritable(v);
        }
    };
    viewer->OnKeys = [this](WebViewer* v, const QByteArray& keys) {
        if (OnReceived) {
            OnReceived(v, keys);
        }
    };
    // The page sizes its terminal before the first frame arrives.
    viewer->SendControl(QStringLiteral("{\"cols\":%1,\"rows\":%2,\"speed\":%3}")
                            .arg(terminalSize_.width())
                            .arg(terminalSize_.height())
                            .arg(speed_));
    if (OnJoin) {
        OnJoin(viewer);
    }
}

void WebServer::SetSpeed(int speed)
{
    speed_ = speed;
}

void WebServer::AnnounceSpeed()
{
    if (speed_ == announcedSpeed_) {
        return;
    }
    announcedSpeed_ = speed_;
    Broadcast(SpeedControl());
}

void WebServer::SetTerminalSize(QSize size)
{
    if (!size.isValid() || size.isEmpty() || size == terminalSize_) {
        return;
    }
    terminalSize_ = size;
    Broadcast(SizeControl());
}

QString WebServer::SpeedControl() const
{
    return QStringLiteral("{\"speed\":%1}").arg(speed_);
}

QString WebServer::SizeControl() const
{
    return QStringLiteral("{\"cols\":%1,\"rows\":%2}")
        .arg(terminalSize_.width())
        .arg(terminalSize_.height());
}

void WebServer::Broadcast(const QString& control)
{
    for (WebViewer* viewer : findChildren<WebViewer*>(Qt::FindDirectChildrenOnly)) {
        viewer->SendControl(control);
    }
}
