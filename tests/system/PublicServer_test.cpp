// The program set up for strangers: each port on the address it is told (IPv6 as well),
// a cap on viewers that turns newcomers away in their own medium, and keys that steer
// nothing when nobody may.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <QTemporaryDir>
#include <QUrl>
#include <QWebSocket>

#include "support/Loopback.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/Ttyrec.h"

namespace {

constexpr int kWaitMs = 10000;
const QByteArray kGreeting("\xff\xfb\x01\xff\xfb\x03\xff\xfd\xf3", 9);

// A blocking TCP client of [::1]: the test support speaks IPv4 only.
class Ipv6Client
{
public:
    bool Connect(int port)
    {
        fd_ = UniqueFd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        return fd_.Valid() && ::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&address),
                                        sizeof address) == 0;
    }
    void Send(const QByteArray& bytes)
    {
        ::send(fd_.Get(), bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    }
    // Reads for up to ms, or until the server closes; true when it closed.
    bool ReadFor(int ms)
    {
        pollfd ready{fd_.Get(), POLLIN, 0};
        char buffer[4096];
        while (::poll(&ready, 1, ms) > 0) {
            const ssize_t got = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
            if (got <= 0) {
                return true;
            }
            received.append(buffer, static_cast<qsizetype>(got));
        }
        return false;
    }

    QByteArray received;

private:
    UniqueFd fd_;
};

bool Ipv4Listens(int port)
{
    LoopbackClient probe;
    return probe.Connect(port);
}

}  // namespace

TEST(PublicServer, EachPortListensWhereToldAndTheCapTurnsNewcomersAwayInTheirMedium)
{
    QTemporaryDir runtime;
    QTemporaryDir files;
    const QString recording = files.filePath(QStringLiteral("r.ttyrec"));
    // Gaps of a thousand seconds: only a key could bring the second frame.
    WriteFile(recording, TtyrecBytes({{0, 0, "first\r\n"}, {1000, 0, "second\r\n"}}));
    const int port = FreePort();
    const int webPort = FreePort();
    OmbrixProcess program(
        runtime.path(),
        {QStringLiteral("--port"), QString::number(port), QStringLiteral("--bind"),
         QStringLiteral("::1"), QStringLiteral("--web-port"), QString::number(webPort),
         QStringLiteral("--web-bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--max-viewers"),
         QStringLiteral("1"), QStringLiteral("--control"), QStringLiteral("nobody"), recording});
    ASSERT_TRUE(
        program.WaitForLine(QStringLiteral("web: http://127.0.0.1:%1/").arg(webPort), kWaitMs))
        << program.Errors().toStdString();
    EXPECT_FALSE(Ipv4Listens(port)) << "the telnet port is on ::1 only";
    Ipv6Client onWebPort;
    EXPECT_FALSE(onWebPort.Connect(webPort)) << "the web port is on 127.0.0.1 only";

    Ipv6Client viewer;
    ASSERT_TRUE(viewer.Connect(port));
    ASSERT_TRUE(program.WaitForLine(QStringLiteral("connection: ::1,1"), kWaitMs));
    // Under "nobody" its keys are read and dropped: no speed, no next frame.
    viewer.Send(
        QByteArray("\xff\xfd\x01"
                   "ff  \r\n",
                   9));
    viewer.ReadFor(500);
    EXPECT_EQ(viewer.received, kGreeting + "first\r\n");
    EXPECT_FALSE(program.HasLinePrefix("speed: 2"));

    Ipv6Client late;
    ASSERT_TRUE(late.Connect(port));
    EXPECT_TRUE(late.ReadFor(kWaitMs)) << "closed after its line";
    EXPECT_EQ(late.received, QByteArray("Ombrix: 1 viewers are watching, as many as this server "
                                        "takes. Please try again later.\r\n"));

    QWebSocket page;
    page.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(webPort)));
    ASSERT_TRUE(LoopbackClient::PumpUntil(
        [&] { return page.closeCode() == static_cast<QWebSocketProtocol::CloseCode>(4001); },
        kWaitMs))
        << page.closeCode();
    EXPECT_TRUE(page.closeReason().startsWith(QStringLiteral("Ombrix: 1 viewers are watching")));

    // The one inside was never disturbed.
    EXPECT_FALSE(program.HasLinePrefix("connection: ::1,2"));
    EXPECT_FALSE(viewer.ReadFor(200));
    EXPECT_EQ(program.Stop(), 0);
}
