#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <functional>
#include <memory>
#include <vector>

#include "server/MemoryBudget.h"
#include "server/ViewerConnection.h"
#include "server/WebViewer.h"

// A terminal's size when the recording does not give one.
inline constexpr int kDefaultColumns = 80;
inline constexpr int kDefaultRows = 24;

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;
struct HttpRequestHead;

// The web port: serves the page built into the program on GET, and hands GET /ws to
// QtWebSockets, each socket becoming one viewer. Bytes the browsers type come back as
// keys; the speed and the terminal size go to every page as small text messages.
class WebServer : public QObject
{
    Q_OBJECT

public:
    // What the viewers' queued messages hold counts in `budget`, against its limits; it
    // must outlive the server.
    explicit WebServer(MemoryBudget& budget, QObject* parent = nullptr);
    // Drops every connection without telling anyone: the program is ending.
    ~WebServer() override;

    // Listens on every IPv4 interface; throws ESocketError naming the call that failed.
    void Listen(int port);
    // The port bound, 0 when not listening.
    int LocalPort() const;

    // Remembered for newcomers, who are told it as they join.
    void SetSpeed(int speed);
    // Tells every page the speed remembered, unless it is what they were told last: the
    // program calls it a few times a second at most, however fast the speed changes.
    void AnnounceSpeed();
    // Remembered for newcomers, and sent to every page at once.
    void SetTerminalSize(QSize size);

    std::function<void(ViewerConnection*)> OnJoin;
    std::function<void(ViewerConnection*)> OnLeave;
    std::function<void(ViewerConnection*)> OnWritable;
    std::function<void(ViewerConnection*, const QByteArray&)> OnReceived;

private:
    void Accept();
    void ReadRequest(QTcpSocket* socket);
    void Respond(QTcpSocket* socket, const HttpRequestHead& request);
    void Upgrade(QTcpSocket* socket);
    void TakeWebSockets();
    QTcpSocket* TakeTransport(const QWebSocket* socket);
    void AddViewer(WebViewer* viewer);
    void Broadcast(const QString& control);
    QString SizeControl() const;
    QString SpeedControl() const;

    std::unique_ptr<QTcpServer> listener_;
    std::unique_ptr<QWebSocketServer> webSockets_;
    // Connections handed to QtWebSockets that have not become viewers yet.
    std::vector<QPointer<QTcpSocket>> handedOver_;
    MemoryBudget& budget_;
    int speed_ = 1;
    int announcedSpeed_ = 1;
    QSize terminalSize_{kDefaultColumns, kDefaultRows};
};
