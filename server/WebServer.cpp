#include "server/WebServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>
#include <algorithm>
#include <cerrno>

#include "platform/ErrorDisplay.h"
#include "platform/SocketCalls.h"
#include "server/HttpRequestHead.h"
#include "server/HttpResponse.h"
#include "server/WebPage.h"

namespace {
// The WebSocket handshake after the hand-over.
constexpr int kHandshakeTimeoutMs = 10000;
// What the page sends is read this much at a time: the library answers every ping in it,
// and the viewer counts the answers once the read is handled. Room for the largest frame
// a page may send, which the library waits to have whole.
constexpr qint64 kWebSocketReadBytes = 128 * 1024;
// How often deadlines are looked at.
constexpr int kSweepMs = 500;

QByteArray PlainBody(const char* text)
{
    return QByteArray(text) + '\n';
}

// Pages are told how many watch at most this often, however fast viewers come and go.
constexpr std::chrono::milliseconds kViewerCountInterval{1000};

// The client's address (an IPv4 client of an IPv6 socket as IPv4); nullopt when the system
// cannot tell.
std::optional<QHostAddress> PeerOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
        return std::nullopt;
    }
    const QHostAddress peer(reinterpret_cast<const sockaddr*>(&address));
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : peer;
}

// A client past its share is told so in one send and closed; what it sent is read first,
// so the close does not reset the connection under the answer.
void Refuse(UniqueFd fd)
{
    static const QByteArray busy = HttpResponse(
        503, "text/plain", PlainBody("Too many connections"), false, "Retry-After: 5\r\n");
    char drop[4096];
    for (int i = 0; i < 16 && SocketCalls::Receive(fd.Get(), drop, sizeof drop) > 0; ++i) {
    }
    SocketCalls::Send(fd.Get(), busy.constData(), static_cast<size_t>(busy.size()));
    ::shutdown(fd.Get(), SHUT_WR);
}
}  // namespace

WebServer::WebServer(MemoryBudget& budget, QObject* parent)
    : QObject(parent),
      acceptor_([this](bool accepting) {
          if (listener_.Valid()) {
              poller_.SetInterest(listener_.Get(), accepting, false);
          }
      }),
      budget_(budget),
      viewerCounts_(kViewerCountInterval,
                    [this](int count) { Broadcast(QStringLiteral("{\"viewers\":%1}").arg(count)); })
{
    sweep_.setInterval(kSweepMs);
    connect(&sweep_, &QTimer::timeout, this, [this] { ErrorDisplay::Guard([this] { Sweep(); }); });
}

WebServer::~WebServer()
{
    OnJoin = nullptr;
    OnLeave = nullptr;
    OnWritable = nullptr;
    OnReceived = nullptr;
    qDeleteAll(findChildren<WebViewer*>(Qt::FindDirectChildrenOnly));
    connections_.clear();
    webSockets_.reset();
    acceptor_.Stop();
    if (listener_.Valid()) {
        poller_.Forget(listener_.Get());
    }
}

void WebServer::Listen(const QByteArray& address, int port)
{
    if (!poller_.Valid()) {
        SocketCalls::Raise(poller_.CreateError(), QStringLiteral("epoll_create1"));
    }
    UniqueFd fd = SocketAcceptor::OpenFor(address);
    SocketAcceptor::Bind(fd.Get(), address, static_cast<quint16>(port));
    acceptor_.Listen(fd.Get());
    webSockets_ = std::make_unique<QWebSocketServer>(QStringLiteral("Ombrix"),
                                                     QWebSocketServer::NonSecureMode);
    webSockets_->setHandshakeTimeout(kHandshakeTimeoutMs);
    connect(webSockets_.get(), &QWebSocketServer::newConnection, this,
            [this] { ErrorDisplay::Guard([this] { TakeWebSockets(); }); });
    listener_ = std::move(fd);
    poller_.Watch(listener_.Get(), this);
    poller_.SetInterest(listener_.Get(), true, false);
    origins_.webPort = LocalPort();
}

int WebServer::LocalPort() const
{
    return listener_.Valid() ? SocketCalls::LocalPort(listener_.Get()) : 0;
}

void WebServer::SetAllowedOrigins(const QByteArrayList& hosts)
{
    origins_.namedHosts = hosts;
}

void WebServer::SocketReady(int descriptor, bool readable, bool)
{
    if (readable && descriptor == listener_.Get()) {
        ErrorDisplay::Guard([this] { Accept(); });
    }
}

// One connection per notification, as the viewer port takes them; the notification comes
// again while more are pending.
void WebServer::Accept()
{
    UniqueFd fd = acceptor_.Accept(listener_.Get());
    if (!fd.Valid()) {
        return;
    }
    const std::optional<QHostAddress> peer = PeerOf(fd.Get());
    if (!peer) {
        return;  // gone already
    }
    if (!HasRoomFor(*peer)) {
        Refuse(std::move(fd));
        return;
    }
    connections_.push_back(std::make_unique<HttpConnection>(
        std::move(fd), *peer, poller_,
        [this](HttpConnection& connection, HttpHeadState state, QByteArrayView head) {
            HeadArrived(connection, state, head);
        },
        [this](HttpConnection&) { ScheduleDrop(); }));
    if (!sweep_.isActive()) {
        sweep_.start();
    }
    connections_.back()->Start();
}

// A trusted proxy carries many clients: each is given its share once its request names
// it (IsOverClientShare), and the proxy itself only the share of all.
bool WebServer::HasRoomFor(const QHostAddress& peer) const
{
    int pending = 0;
    for (const auto& connection : connections_) {
        pending += connection->Ended() ? 0 : 1;
    }
    for (const HandedOver& handed : handedOver_) {
        pending += handed.socket.isNull() ? 0 : 1;
    }
    return pending < limits_.pending &&
           (trustedProxies_.Contains(peer) || PendingFrom(peer) < limits_.pendingPerAddress);
}

int WebServer::PendingFrom(const QHostAddress& client) const
{
    int count = 0;
    for (const auto& connection : connections_) {
        count += !connection->Ended() && connection->Client() == client ? 1 : 0;
    }
    for (const HandedOver& handed : handedOver_) {
        count += !handed.socket.isNull() && handed.client == client ? 1 : 0;
    }
    return count;
}

bool WebServer::IsOverClientShare(HttpConnection& connection, const HttpRequestHead& request)
{
    if (!trustedProxies_.Contains(connection.Peer())) {
        return false;  // counted by its own address as it was taken
    }
    const QHostAddress client =
        ForwardedClient(connection.Peer(), request.forwarding, trustedProxies_);
    // Counted among the others under its client's name only if it is let in.
    if (PendingFrom(client) >= limits_.pendingPerAddress) {
        return true;
    }
    connection.SetClient(client);
    return false;
}

void WebServer::HeadArrived(HttpConnection& connection, HttpHeadState state, QByteArrayView head)
{
    HttpRequestHead request;
    if (state == HttpHeadState::TooLarge) {
        connection.Answer(HttpResponse(431, "text/plain", PlainBody("Request head too large")));
    } else if (!ParseRequestHead(head, &request)) {
        connection.Answer(HttpResponse(400, "text/plain", PlainBody("Bad request")));
    } else if (IsOverClientShare(connection, request)) {
        connection.Answer(HttpResponse(503, "text/plain", PlainBody("Too many connections"), false,
                                       "Retry-After: 5\r\n"));
    } else if (request.path != "/ws") {
        Respond(connection, request);
    } else if (!OriginAllowed(request.origins, connection.LocalAddress(), origins_)) {
        // Another site's page must not steer the playback.
        connection.Answer(HttpResponse(403, "text/plain", PlainBody("Origin not allowed")));
    } else if (request.method == "GET" && request.webSocketUpgrade) {
        Upgrade(connection);
    } else {
        connection.Answer(HttpResponse(400, "text/plain", PlainBody("WebSocket only")));
    }
}

// The page's files go out from the one copy the program holds, however many clients are
// taking them and however slowly.
void WebServer::Respond(HttpConnection& connection, const HttpRequestHead& request)
{
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        connection.Answer(HttpResponse(405, "text/plain", PlainBody("Method not allowed"), false,
                                       "Allow: GET, HEAD\r\n"));
        return;
    }
    const std::optional<WebResource> resource = FindWebResource(request.path);
    const QByteArray bytes = resource ? WebResourceBytes(*resource) : QByteArray();
    if (bytes.isEmpty()) {
        connection.Answer(HttpResponse(404, "text/plain", PlainBody("Not found"), head));
        return;
    }
    connection.Answer(HttpResponseHead(200, resource->contentType, bytes.size()),
                      head ? QByteArray() : bytes);
}

// The request is still unread in the socket: QtWebSockets reads it as it came.
void WebServer::Upgrade(HttpConnection& connection)
{
    const QHostAddress client = connection.Client();
    UniqueFd fd = connection.Release();
    auto* socket = new QTcpSocket(webSockets_.get());
    if (!fd.Valid() || !socket->setSocketDescriptor(fd.Get())) {
        delete socket;
        return;
    }
    fd.Release();  // the socket owns it now
    socket->setReadBufferSize(kWebSocketReadBytes);
    QElapsedTimer since;
    since.start();
    handedOver_.push_back({socket, client, since});
    webSockets_->handleConnection(socket);
}

void WebServer::ScheduleDrop()
{
    if (dropScheduled_) {
        return;
    }
    dropScheduled_ = true;
    QMetaObject::invokeMethod(
        this, [this] { ErrorDisplay::Guard([this] { DropEnded(); }); }, Qt::QueuedConnection);
}

void WebServer::DropEnded()
{
    dropScheduled_ = false;
    std::erase_if(connections_, [](const auto& connection) { return connection->Ended(); });
    std::erase_if(handedOver_, [](const HandedOver& handed) { return handed.socket.isNull(); });
    if (connections_.empty() && handedOver_.empty()) {
        sweep_.stop();
    }
}

void WebServer::Sweep()
{
    for (const auto& connection : connections_) {
        if (connection->Overdue()) {
            connection->End();
        }
    }
    // A handshake the library gave up on, or one that outlived the library's own bound,
    // must not keep its place.
    for (const HandedOver& handed : handedOver_) {
        QTcpSocket* socket = handed.socket.data();
        if (socket != nullptr && (socket->state() == QAbstractSocket::UnconnectedState ||
                                  handed.since.elapsed() > kHandshakeTimeoutMs + kSweepMs)) {
            socket->abort();
            socket->deleteLater();
        }
    }
    DropEnded();
}

// QtWebSockets keeps the TCP connection it was handed but does not say which it is; the
// peer's address and port name it among the live ones.
std::optional<WebServer::HandedOver> WebServer::TakeTransport(const QWebSocket* socket)
{
    std::optional<HandedOver> found;
    std::erase_if(handedOver_, [&](const HandedOver& handed) {
        const QPointer<QTcpSocket>& transport = handed.socket;
        if (transport.isNull()) {
            return true;
        }
        if (!found && transport->peerPort() == socket->peerPort() &&
            transport->peerAddress() == socket->peerAddress()) {
            found = handed;
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
        const std::optional<HandedOver> handed = TakeTransport(socket);
        auto* viewer =
            new WebViewer(socket, handed ? handed->socket.data() : nullptr, budget_, this);
        if (handed) {
            viewer->SetClientAddress(handed->client);
        }
        // Its catch-up reads the recording through a descriptor of its own: without one to
        // spare it would see its stream begin wherever the playback stands.
        if (!SocketCalls::DescriptorsLeft(listener_.Get(), 1)) {
            viewer->Refuse();
            continue;
        }
        AddViewer(viewer);
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
    viewer->SendControl(FirstControl(*viewer));
    if (!recordingName_.isEmpty()) {
        viewer->SendControl(NameControl());
    }
    if (OnJoin) {
        OnJoin(viewer);
    }
}

QString WebServer::FirstControl(const WebViewer& viewer) const
{
    const bool control = !MaySteer || MaySteer(viewer.ClientAddress());
    // The newcomer is counted as it joins, right after this.
    return QStringLiteral("{\"cols\":%1,\"rows\":%2,\"speed\":%3,\"control\":%4,\"viewers\":%5}")
        .arg(terminalSize_.width())
        .arg(terminalSize_.height())
        .arg(speed_)
        .arg(control ? QLatin1String("true") : QLatin1String("false"))
        .arg(viewerCount_ + 1);
}

void WebServer::SetViewerCount(int count)
{
    viewerCount_ = count;
    viewerCounts_.Offer(count);
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

void WebServer::SetRecordingName(const QString& name)
{
    if (name == recordingName_) {
        return;
    }
    recordingName_ = name;
    Broadcast(NameControl());
}

QString WebServer::NameControl() const
{
    // A file name may hold quotes, backslashes or control characters: JSON escapes them.
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("name"), recordingName_}})
                                 .toJson(QJsonDocument::Compact));
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
