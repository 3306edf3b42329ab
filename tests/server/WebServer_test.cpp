// The web port on its own, against real loopback connections: the page, the WebSocket
// stream in both directions, control texts, departures and the bounds.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

#include <memory>
#include <vector>

#include "server/ControlPolicy.h"
#include "server/WebServer.h"
#include "support/Loopback.h"
#include "support/LoopbackClient.h"
#include "support/ProcessProbe.h"

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

// A page's connection spoken byte by byte, for what a browser would not do: ping without
// reading, stop reading, read slowly. Server frames are parsed as they come.
class RawPage
{
public:
    explicit RawPage(int receiveBuffer = 0)
    {
        if (receiveBuffer > 0) {
            client_.SetReceiveBufferSize(receiveBuffer);
        }
    }
    bool Open(int port)
    {
        if (!client_.Connect(port)) {
            return false;
        }
        client_.Send(
            "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        return true;
    }
    // Masked pings with the longest payload a control frame may carry, as many as the
    // socket takes now.
    void SendPings(int count)
    {
        QByteArray ping;
        for (int i = 0; i < count; ++i) {
            ping.append("\x89\xfd\x01\x02\x03\x04", 6).append(125, 'p');
        }
        ::send(client_.Fd(), ping.constData(), static_cast<size_t>(ping.size()),
               MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // Reads at most `bytes` now.
    void ReadSome(qsizetype bytes)
    {
        QByteArray chunk(bytes, Qt::Uninitialized);
        const ssize_t got =
            ::recv(client_.Fd(), chunk.data(), static_cast<size_t>(bytes), MSG_DONTWAIT);
        received_.append(chunk.constData(), std::max<ssize_t>(got, 0));
        ended_ = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
    }
    bool Ended() const { return ended_; }
    // The stream ends with the close frame a viewer too far behind gets: code 1008.
    bool EndsWithCloseForBeingBehind() const
    {
        const QByteArray close = QByteArray("\x88\x1d\x03\xf0") + "Too far behind the playback";
        return received_.endsWith(close);
    }

private:
    LoopbackClient client_;
    QByteArray received_;
    bool ended_ = false;
};

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
    EXPECT_EQ(page.texts[0], QStringLiteral("{\"cols\":80,\"rows\":24,\"speed\":1,"
                                            "\"control\":true,\"viewers\":1}"));

    QByteArray expected;
    // The last is more than the loopback connection holds, so some of it has to wait.
    for (const qsizetype size : {1, 125, 126, 65535, 65536, 700000, 16 << 20}) {
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
    server.AnnounceSpeed();
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
        // A viewer that has left is the transport's to free; nobody sends to it.
        for (ViewerConnection* viewer : events.joined) {
            if (std::find(events.left.begin(), events.left.end(), viewer) == events.left.end()) {
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
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return slowObject.isNull(); }, 3 * kWaitMs));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return budget.Total() == 0; }, kWaitMs));
}

// Whatever waits for a page counts when it is queued, the library's answers to pings as
// much as frames and control texts: a page that never reads is closed however it fills
// its queue.
TEST(WebServer, APageThatNeverReadsIsClosedWhateverFillsItsQueue)
{
    MemoryBudget budget;
    WebServer server(budget);
    Events events;
    Record(server, events);
    server.Listen(0);

    // Pings and nothing else: no frame is ever sent to it.
    budget.SetLimits({1024 * 1024, qsizetype{1} << 40});
    RawPage pinger(4096);
    ASSERT_TRUE(pinger.Open(server.LocalPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return events.joined.size() == 1; }, kWaitMs));
    EXPECT_TRUE(LoopbackClient::PumpUntil(
        [&] {
            pinger.SendPings(256);
            return events.left.size() == 1;
        },
        20000))
        << "held " << budget.Total() << " bytes";
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return budget.Total() == 0; }, 3 * kWaitMs));

    // Speed changes for a page whose queue already holds about what it may.
    budget.SetLimits({qsizetype{64} << 20, qsizetype{1} << 40});
    RawPage stalled(4096);
    ASSERT_TRUE(stalled.Open(server.LocalPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return events.joined.size() == 2; }, kWaitMs));
    ViewerConnection* viewer = events.joined[1];
    for (int i = 0; i < 8 && viewer->IsConnected(); ++i) {
        viewer->Send(Frame(1024 * 1024, 5));
        LoopbackClient::Pump(1);
    }
    ASSERT_TRUE(viewer->IsConnected());
    budget.SetLimits({viewer->PendingBytes() + 64 * 1024, qsizetype{1} << 40});
    for (int i = 0; i < 20000 && events.left.size() == 1; ++i) {
        server.SetSpeed(i % 2 == 0 ? 2 : 1);
        server.AnnounceSpeed();
    }
    ASSERT_EQ(events.left.size(), 2U) << "held " << viewer->PendingBytes() << " bytes";
    EXPECT_EQ(events.left[1], viewer);
}

// A page that reads, but slower than the playback, is let go with the reason: the close
// frame follows only what the connection already carries, not everything it was behind.
TEST(WebServer, APageTooFarBehindReadsTheCloseCodeBeforeItsConnectionEnds)
{
    MemoryBudget budget;
    WebServer server(budget);
    Events events;
    Record(server, events);
    budget.SetLimits({qsizetype{32} << 20, qsizetype{1} << 40});
    server.Listen(0);
    RawPage slow(65536);
    ASSERT_TRUE(slow.Open(server.LocalPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return events.joined.size() == 1; }, kWaitMs));
    ViewerConnection* viewer = events.joined[0];
    const QByteArray frame = Frame(256 * 1024, 9);
    for (int i = 0; i < 1000 && events.left.empty(); ++i) {
        viewer->Send(frame);
        slow.ReadSome(64 * 1024);
        LoopbackClient::Pump(1);
    }
    ASSERT_EQ(events.left.size(), 1U);
    // It goes on reading at its pace, about 6 MB a second, until its connection ends.
    ASSERT_TRUE(LoopbackClient::PumpUntil(
        [&] {
            slow.ReadSome(64 * 1024);
            LoopbackClient::Pump(10);
            return slow.Ended();
        },
        20000));
    EXPECT_TRUE(slow.EndsWithCloseForBeingBehind());
}

// Clients that ask for the page's largest file and never read it share the one copy the
// program holds, rather than holding a copy each.
TEST(WebServer, ClientsThatNeverReadTheLargestFileHoldNoCopyOfIt)
{
    MemoryBudget budget;
    WebServer server(budget);
    server.Listen(0);
    const long before = ResidentKb(::getpid());
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 200; ++i) {
        // From four addresses, so no one address is past its share of the port.
        const QByteArray from = "127.0.0." + QByteArray::number(2 + i % 4);
        clients.push_back(NewLoopbackSocket({4096, false, from.constData()}));
        ASSERT_TRUE(StartConnect(clients.back().Get(), server.LocalPort()));
    }
    ASSERT_TRUE(LoopbackClient::PumpUntil(
        [&] {
            return std::all_of(clients.begin(), clients.end(),
                               [](const UniqueFd& fd) { return ConnectOutcome(fd.Get()) == 0; });
        },
        kWaitMs));
    for (const UniqueFd& client : clients) {
        ::send(client.Get(), "GET /xterm.js HTTP/1.1\r\n\r\n", 26, MSG_NOSIGNAL);
    }
    // Every one of them has its answer under way.
    ASSERT_TRUE(LoopbackClient::PumpUntil(
        [&] {
            return std::all_of(clients.begin(), clients.end(), [](const UniqueFd& fd) {
                int waiting = 0;
                return ::ioctl(fd.Get(), FIONREAD, &waiting) == 0 && waiting > 0;
            });
        },
        kWaitMs));
    LoopbackClient::Pump(100);
    const long grownKb = ResidentKb(::getpid()) - before;
    // A copy each would be 200 times the file's 490 KB.
    EXPECT_LT(grownKb, 20 * 1024) << "KiB held for 200 answers";
}

// Connections that have not become viewers are capped per address and in all: a client
// past its share is told at once, and the ones within it are served as before.
TEST(WebServer, ConnectionsNotYetViewersAreCappedPerAddressAndInAll)
{
    MemoryBudget budget;
    WebServer server(budget);
    server.SetLimits({10, 4});
    server.Listen(0);
    // Heads never finished, so each holds its place.
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 12; ++i) {
        const QByteArray from = "127.0.0." + QByteArray::number(2 + i / 6);
        clients.push_back(ConnectLoopback(server.LocalPort(), {0, false, from.constData()}));
        ::send(clients.back().Get(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
        LoopbackClient::Pump(5);
    }
    // Six from each of two addresses: four of each are held.
    LoopbackClient::Pump(100);
    std::vector<QByteArray> answers;
    for (const UniqueFd& client : clients) {
        char buffer[512];
        const ssize_t got = ::recv(client.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        answers.push_back(got > 0 ? QByteArray(buffer, got) : QByteArray());
    }
    for (int i = 0; i < 12; ++i) {
        const bool refused = answers[i].startsWith("HTTP/1.1 503");
        EXPECT_EQ(refused, i % 6 >= 4) << "client " << i << ": " << answers[i].constData();
    }
    // A third address still gets in, up to the cap in all, and is answered.
    LoopbackClient third;
    ASSERT_TRUE(third.ConnectFrom("127.0.0.4", server.LocalPort()));
    third.Send("GET /page.css HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(third.WaitForClose(kWaitMs));
    EXPECT_TRUE(third.Received().startsWith("HTTP/1.1 200")) << third.Received().constData();
    server.SetLimits({8, 4});
    LoopbackClient over;
    ASSERT_TRUE(over.ConnectFrom("127.0.0.5", server.LocalPort()));
    ASSERT_TRUE(over.WaitForClose(kWaitMs));
    EXPECT_TRUE(over.Received().startsWith("HTTP/1.1 503")) << over.Received().constData();
}

// A crowd arriving at once waits in the listen queue rather than on its SYN retransmits.
TEST(WebServer, ListensWithTheSystemsBacklog)
{
    MemoryBudget budget;
    WebServer server(budget);
    server.Listen(0);
    QProcess ss;
    ss.start(QStringLiteral("ss"),
             {QStringLiteral("-Hltn"), QStringLiteral("sport = :%1").arg(server.LocalPort())});
    ASSERT_TRUE(ss.waitForFinished(kWaitMs));
    const QList<QByteArray> fields = ss.readAllStandardOutput().simplified().split(' ');
    ASSERT_GE(fields.size(), 3) << "no listening socket";
    QFile somaxconn(QStringLiteral("/proc/sys/net/core/somaxconn"));
    ASSERT_TRUE(somaxconn.open(QIODevice::ReadOnly));
    EXPECT_EQ(fields[2].toInt(), somaxconn.readAll().trimmed().toInt());
}

// The stream opens for pages of this machine, on the web port, and of the hosts the
// operator named; a page of a rebound name is refused (the cases: OriginPolicy_test).
TEST(WebServer, OnlyPagesOfKnownHostsOpenTheStream)
{
    MemoryBudget budget;
    WebServer server(budget);
    server.SetAllowedOrigins({"public.name"});
    server.Listen(0);
    const int port = server.LocalPort();
    // The status line of the answer; an upgraded connection stays open.
    const auto upgrade = [port](const QByteArray& headers) {
        LoopbackClient client;
        EXPECT_TRUE(client.Connect(port));
        client.Send("GET /ws HTTP/1.1\r\n" + headers +
                    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        client.WaitForBytes(12, kWaitMs);
        return client.Received().left(12);
    };
    const QByteArray here = "HTTP://LOCALHOST:" + QByteArray::number(port);
    EXPECT_EQ(upgrade("Host: x\r\nOrigin: " + here + "\r\n"), "HTTP/1.1 101");
    EXPECT_EQ(upgrade("Host: public.name\r\nOrigin: https://public.name\r\n"), "HTTP/1.1 101");
    const QByteArray rebound = "evil.example:" + QByteArray::number(port);
    EXPECT_EQ(upgrade("Host: " + rebound + "\r\nOrigin: http://" + rebound + "\r\n"),
              "HTTP/1.1 403");
}

// Behind a proxy every page comes from the proxy's address: what it forwards names the
// client, but only for a proxy the operator named. Each row: the proxies named, where the
// page connects from, the header it carries, and what the page and the panel are told.
TEST(WebServer, AForwardedClientIsBelievedOnlyFromANamedProxy)
{
    struct Row
    {
        const char* trusted;  // empty: none named
        const char* from;
        const char* header;
        bool control;
        const char* shownAs;
    };
    const Row rows[] = {
        {"127.0.0.2", "127.0.0.2", "X-Forwarded-For: 203.0.113.5", false, "203.0.113.5"},
        {"127.0.0.2", "127.0.0.3", "X-Forwarded-For: 203.0.113.5", true, "127.0.0.3"},
        {"", "127.0.0.2", "X-Forwarded-For: 203.0.113.5", true, "127.0.0.2"},
        {"127.0.0.2", "127.0.0.2", "X-Real-IP: 127.0.0.9", true, "127.0.0.9"},
        // A client's own claim on the left, the address the proxy saw appended on the right.
        {"127.0.0.2", "127.0.0.2", "X-Forwarded-For: 127.0.0.1, 203.0.113.7", false, "203.0.113.7"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.from) + " " + row.header);
        MemoryBudget budget;
        WebServer server(budget);
        Events events;
        Record(server, events);
        TrustedProxies proxies;
        if (*row.trusted != '\0') {
            ASSERT_TRUE(proxies.Add(row.trusted));
        }
        server.SetTrustedProxies(proxies);
        server.MaySteer = [](const QHostAddress& client) { return IsLoopbackAddress(client); };
        server.Listen(0);
        LoopbackClient page;
        ASSERT_TRUE(page.ConnectFrom(row.from, server.LocalPort()));
        page.Send(QByteArray("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                             "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n") +
                  row.header + "\r\n\r\n");
        const QByteArray told = row.control ? "\"control\":true" : "\"control\":false";
        ASSERT_TRUE(LoopbackClient::PumpUntil(
            [&] { return page.ReadFor(5).contains(told) || page.Received().contains(told); },
            kWaitMs))
            << page.Received().constData();
        ASSERT_EQ(events.joined.size(), 1U);
        EXPECT_EQ(events.joined[0]->PeerAddress(), QString::fromLatin1(row.shownAs));
    }
}

// Through a named proxy each client has its own share of the connections not yet viewers;
// the proxy, carrying them all, is bound only by the total.
TEST(WebServer, BehindANamedProxyEachForwardedClientHasItsOwnShare)
{
    MemoryBudget budget;
    WebServer server(budget);
    TrustedProxies proxies;
    ASSERT_TRUE(proxies.Add("127.0.0.2"));
    server.SetTrustedProxies(proxies);
    server.SetLimits({10, 2});
    server.Listen(0);
    const auto request = [&](LoopbackClient& client, const char* forwarded) {
        // Answered, then kept open: the connection lingers, still counted.
        ASSERT_TRUE(client.ConnectFrom("127.0.0.2", server.LocalPort()));
        client.Send(QByteArray("GET /nothing HTTP/1.1\r\nX-Forwarded-For: ") + forwarded +
                    "\r\n\r\n");
        ASSERT_TRUE(LoopbackClient::PumpUntil(
            [&] { return client.ReadFor(5).contains("\r\n\r\n") || client.PeerClosed(); },
            kWaitMs));
    };
    LoopbackClient clients[4];
    request(clients[0], "198.51.100.1");
    request(clients[1], "198.51.100.1");
    request(clients[2], "198.51.100.1");
    request(clients[3], "198.51.100.2");
    EXPECT_TRUE(clients[0].Received().startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(clients[1].Received().startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(clients[2].Received().startsWith("HTTP/1.1 503"))
        << clients[2].Received().constData();
    EXPECT_TRUE(clients[3].Received().startsWith("HTTP/1.1 404"))
        << clients[3].Received().constData();
}
