// The web port on its own, against real loopback connections: the page, the WebSocket
// stream in both directions, control texts, departures and the bounds.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <memory>
#include <vector>

#include "server/WebServer.h"
#include "support/LoopbackClient.h"

namespace {

constexpr int kWaitMs = 5000;

// What the server's callbacks saw, in order.
struct Events
{
    std::vector<ViewerConnection*> joined;
    std::vector<ViewerConnection*> left;
    QByteArray keys;
    int writable = 0;
};

void Record(WebServer& server, Events& events)
{
    server.OnJoin = [&events](ViewerConnection* v) { events.joined.push_back(v); };
    server.OnLeave = [&events](ViewerConnection* v) { events.left.push_back(v); };
    server.OnWritable = [&events](ViewerConnection*) { ++events.writable; };
    server.OnReceived = [&events](ViewerConnection*, const QByteArray& k) { events.keys += k; };
}

// One HTTP request on a fresh connection; returns everything until the server closes.
QByteArray Fetch(int port, const QByteArray& request)
{
    LoopbackClient client;
    if (!client.Connect(port)) {
        return {};
    }
    client.Send(request);
    client.WaitForClose(kWaitMs);
    return client.Received();
}

// A browser-like WebSocket client that keeps every message it gets.
struct PageClient
{
    QWebSocket socket;
    QByteArray binary;
    QStringList texts;

    bool Open(int port)
    {
        QObject::connect(&socket, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray& m) { binary += m; });
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString& m) { texts.append(m); });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
        return LoopbackClient::PumpUntil(
            [this] { return socket.state() == QAbstractSocket::ConnectedState; }, kWaitMs);
    }
};

// Every byte value, and sizes that cross the WebSocket's length forms and its fragments.
QByteArray Frame(qsizetype size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(seed + i * 7);
    }
    return bytes;
}

}  // namespace

TEST(WebServer, ServesTheBuiltInPageAndRefusesEverythingElse)
{
    MemoryBudget budget;
    WebServer server(budget);
    server.Listen(0);
    const int port = server.LocalPort();
    ASSERT_GT(port, 0);

    const QByteArray page = Fetch(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(page.startsWith("HTTP/1.1 200 OK\r\n")) << page.left(200).constData();
    EXPECT_TRUE(page.contains("Content-Type: text/html; charset=utf-8\r\n"));
    EXPECT_TRUE(page.contains("<script src=\"xterm.js\"></script>"));

    // The terminal comes from the binary itself, whole: its length matches what is sent.
    const QByteArray xterm = Fetch(port, "GET /xterm.js?v=1 HTTP/1.1\r\n\r\n");
    const qsizetype bodyAt = xterm.indexOf("\r\n\r\n") + 4;
    ASSERT_GT(bodyAt, 4);
    EXPECT_TRUE(xterm.contains("Content-Type: text/javascript"));
    const QByteArray length = "Content-Length: " + QByteArray::number(xterm.size() - bodyAt);
    EXPECT_TRUE(xterm.contains(length));
    EXPECT_GT(xterm.size() - bodyAt, 100000);
    EXPECT_TRUE(Fetch(port, "GET /xterm.css HTTP/1.0\r\n\r\n").startsWith("HTTP/1.1 200"));

    const QByteArray head = Fetch(port, "HEAD /page.js HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(head.startsWith("HTTP/1.1 200"));
    EXPECT_TRUE(head.endsWith("\r\n\r\n")) << "a HEAD answer has no body";

    EXPECT_TRUE(Fetch(port, "GET /../etc/passwd HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(Fetch(port, "POST / HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 405"));
    EXPECT_TRUE(Fetch(port, "GET /ws HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 400"));
    EXPECT_TRUE(Fetch(port, "garbage\r\n\r\n").startsWith("HTTP/1.1 400"));
    EXPECT_TRUE(Fetch(port, QByteArray("GET / HTTP/1.1\r\nX: ").append(9000, 'a'))
                    .startsWith("HTTP/1.1 431"));
    // Another site's page may not steer the playback.
    EXPECT_TRUE(Fetch(port,
                      "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
                      "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
                    .startsWith("HTTP/1.1 403"));
}

TEST(WebServer, StreamsBytesExactlyAndTakesKeysBothWays)
{
    MemoryBudget budget;
    WebServer server(budget);
    Events events;
    Record(server, events);
    server.Listen(0);
    PageClient page;
    ASSERT_TRUE(page.Open(server.LocalPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return events.joined.size() == 1; }, kWaitMs));
    ViewerConnection* viewer = events.joined[0];
    EXPECT_EQ(viewer->FrameEncoding(), ViewerConnection::Encoding::Raw);
    EXPECT_EQ(viewer->PeerAddress(), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(viewer->IsConnected());

    // The size and the speed come first, so the page is ready before the first frame.
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return !page.texts.isEmpty(); }, kWaitMs));
    EXPECT_EQ(page.texts[0], QStringLiteral("{\"cols\":80,\"rows\":24,\"speed\":1}"));

    QByteArray expected;
    for (const qsizetype size : {1, 125, 126, 65535, 65536, 700000}) {
        const QByteArray frame = Frame(size, static_cast<char>(size));
        viewer->Send(frame);
        expected += frame;
    }
    expected += QByteArray("\xff\xff\x00\xff", 4);
    viewer->Send(QByteArray("\xff\xff\x00\xff", 4));
    ASSERT_TRUE(
        LoopbackClient::PumpUntil([&] { return page.binary.size() >= expected.size(); }, kWaitMs));
    EXPECT_EQ(page.binary, expected);
    // Everything was written, and the viewer's count of what waits says so.
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return viewer->PendingBytes() == 0; }, kWaitMs));
    EXPECT_GT(events.writable, 0);
    EXPECT_EQ(budget.Total(), 0);

    server.SetSpeed(8);
    server.SetTerminalSize(QSize(132, 43));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return page.texts.size() == 3; }, kWaitMs));
    EXPECT_EQ(page.texts[1], QStringLiteral("{\"speed\":8}"));
    EXPECT_EQ(page.texts[2], QStringLiteral("{\"cols\":132,\"rows\":43}"));

    // Text and binary messages are both keys, byte for byte, 0xFF included.
    page.socket.sendTextMessage(QStringLiteral("f\r"));
    page.socket.sendBinaryMessage(QByteArray("\xff\x00s", 3));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return events.keys.size() == 5; }, kWaitMs));
    EXPECT_EQ(events.keys, QByteArray("f\r\xff\x00s", 5));

    page.socket.close();
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return !events.left.empty(); }, kWaitMs));
    LoopbackClient::Pump(50);
    ASSERT_EQ(events.left.size(), 1U);
    EXPECT_EQ(events.left[0], viewer);
}

TEST(WebServer, AViewerThatStopsReadingIsClosedWithoutHoldingUpTheOthers)
{
    MemoryBudget budget;
    WebServer server(budget);
    Events events;
    Record(server, events);
    budget.SetLimits({4 * 1024 * 1024, qsizetype{1} << 40});
    server.Listen(0);

    // A client that completes the handshake and then never reads again.
    LoopbackClient stalled;
    stalled.SetReceiveBufferSize(4096);
    ASSERT_TRUE(stalled.Connect(server.LocalPort()));
    stalled.Send(
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return events.joined.size() == 1; }, kWaitMs));
    PageClient page;
    ASSERT_TRUE(page.Open(server.LocalPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return events.joined.size() == 2; }, kWaitMs));
    ViewerConnection* slow = events.joined[0];
    ViewerConnection* reader = events.joined[1];
    const QPointer<QObject> slowObject(dynamic_cast<QObject*>(slow));

    const QByteArray frame = Frame(256 * 1024, 3);
    qsizetype sent = 0;
    for (int i = 0; i < 64; ++i) {
        for (ViewerConnection* viewer : events.joined) {
            if (viewer->IsConnected()) {
                viewer->Send(frame);
            }
        }
        sent += frame.size();
        // The reader keeps up; the stalled one falls ever further behind.
        ASSERT_TRUE(
            LoopbackClient::PumpUntil([&] { return reader->PendingBytes() == 0; }, kWaitMs));
    }
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return page.binary.size() >= sent; }, kWaitMs));
    EXPECT_EQ(page.binary.size(), sent);
    ASSERT_EQ(events.left.size(), 1U);
    EXPECT_EQ(events.left[0], slow);
    EXPECT_TRUE(reader->IsConnected());
    // Its connection is cut after the grace period, and what it held is freed.
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return slowObject.isNull(); }, kWaitMs));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return budget.Total() == 0; }, kWaitMs));
}
