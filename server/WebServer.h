#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Coalescer.h"
#include "platform/UniqueFd.h"
#include "playback/TerminalSize.h"
#include "server/ForwardedClient.h"
#include "server/HttpConnection.h"
#include "server/MemoryBudget.h"
#include "server/OriginPolicy.h"
#include "server/SocketAcceptor.h"
#include "server/SocketPoller.h"
#include "server/ViewerConnection.h"
#include "server/WebViewer.h"

class QTcpSocket;
class QWebSocket;
class QWebSocketServer;
struct HttpRequestHead;

// The web port: serves the page built into the program on GET, and hands GET /ws to
// QtWebSockets, each socket becoming one viewer. Bytes the browsers type come back as
// keys; the speed, the terminal size and the recording's name go to every page as small
// text messages.
//
// Connections are taken as the viewer port takes them (SocketAcceptor: the system's
// backlog, a rest and then refusals when descriptors run out) and served without a
// buffer of their own (HttpConnection) until they become viewers. Those that have not yet
// are capped, per client address and in all: a client past its share is told 503 at once.
class WebServer : public QObject, private SocketReadiness
{
    Q_OBJECT

public:
    // Connections that have not become viewers: reading their request, taking their
    // answer, or in the WebSocket handshake.
    struct Limits
    {
        int pending;
        int pendingPerAddress;
    };
    static constexpr Limits kDefaultLimits{512, 64};

    // What the viewers' queued messages hold counts in `budget`, against its limits; it
    // must outlive the server.
    explicit WebServer(MemoryBudget& budget, QObject* parent = nullptr);
    // Drops every connection without telling anyone: the program is ending.
    ~WebServer() override;

    // Listens on one numeric address ("127.0.0.1", "::1", "::"; empty: every IPv4
    // interface); throws ESocketError naming the call that failed.
    void Listen(const QByteArray& address, int port);
    void Listen(int port) { Listen(QByteArray(), port); }
    // The port bound, 0 when not listening.
    int LocalPort() const;
    // Binds newcomers from now on; tests make them small.
    void SetLimits(Limits limits) { limits_ = limits; }
    // Hosts besides this machine's own whose pages may open the stream ("name" or
    // "name:port", as the operator gives them).
    void SetAllowedOrigins(const QByteArrayList& hosts);
    // Proxies in front whose forwarded client address counts in place of their own: for
    // the share of each client, for who may steer, and for the address the panel shows.
    void SetTrustedProxies(const TrustedProxies& proxies) { trustedProxies_ = proxies; }
    // The number of viewers, telnet and web: told to the pages at most once a second.
    void SetViewerCount(int count);

    // Remembered for newcomers, who are told it as they join.
    void SetSpeed(int speed);
    // Tells every page the speed remembered, unless it is what they were told last: the
    // program calls it a few times a second at most, however fast the speed changes.
    void AnnounceSpeed();
    // Remembered for newcomers, and sent to every page at once.
    void SetTerminalSize(QSize size);
    // What the recording playing is called, for the page's status line.
    void SetRecordingName(const QString& name);

    std::function<void(ViewerConnection*)> OnJoin;
    std::function<void(ViewerConnection*)> OnLeave;
    std::function<void(ViewerConnection*)> OnWritable;
    std::function<void(ViewerConnection*, const QByteArray&)> OnReceived;
    // Whether a page's client may steer, so that a page that may not shows no controls.
    // Unset: every page may.
    std::function<bool(const QHostAddress&)> MaySteer;

private:
    // A connection handed to QtWebSockets, still in its handshake.
    struct HandedOver
    {
        QPointer<QTcpSocket> socket;
        QHostAddress client;
        QElapsedTimer since;
    };

    void SocketReady(int descriptor, bool readable, bool writable) override;
    void Accept();
    bool HasRoomFor(const QHostAddress& peer) const;
    // Connections not yet viewers from this client, through a proxy or not.
    int PendingFrom(const QHostAddress& client) const;
    void HeadArrived(HttpConnection& connection, HttpHeadState state, QByteArrayView head);
    void Respond(HttpConnection& connection, const HttpRequestHead& request);
    void Upgrade(HttpConnection& connection);
    bool IsOverClientShare(HttpConnection& connection, const HttpRequestHead& request);
    // Frees ended connections and forgets handshakes that went nowhere.
    void DropEnded();
    void ScheduleDrop();
    void Sweep();
    void TakeWebSockets();
    std::optional<HandedOver> TakeTransport(const QWebSocket* socket);
    void AddViewer(WebViewer* viewer);
    QString FirstControl(const WebViewer& viewer) const;
    void Broadcast(const QString& control);
    QString SizeControl() const;
    QString SpeedControl() const;
    QString NameControl() const;

    // Declared first: the connections watched through it go before it.
    SocketPoller poller_;
    UniqueFd listener_;
    SocketAcceptor acceptor_;
    std::vector<std::unique_ptr<HttpConnection>> connections_;
    std::vector<HandedOver> handedOver_;
    std::unique_ptr<QWebSocketServer> webSockets_;
    QTimer sweep_;
    bool dropScheduled_ = false;
    Limits limits_ = kDefaultLimits;
    OriginPolicy origins_;
    TrustedProxies trustedProxies_;
    MemoryBudget& budget_;
    int speed_ = 1;
    int announcedSpeed_ = 1;
    QSize terminalSize_{kDefaultTerminalColumns, kDefaultTerminalRows};
    QString recordingName_;
    int viewerCount_ = 0;
    Coalescer viewerCounts_;
};
