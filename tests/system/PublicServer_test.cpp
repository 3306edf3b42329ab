// The program set up for strangers: each port on the address it is told (IPv6 as well,
// its viewers named as the system writes them), and a cap on viewers that tells a telnet
// newcomer why in a line. The page's side of both is the proxy test's (web/test/proxy.mjs).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <QTemporaryDir>

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

TEST(PublicServer, EachPortListensWhereToldAndTheCapTurnsATelnetNewcomerAwayWithALine)
{
    QTemporaryDir runtime;
    QTemporaryDir files;
    const QString recording = files.filePath(QStringLiteral("r.ttyrec"));
    WriteFile(recording, TtyrecBytes({{0, 0, "first\r\n"}, {1000, 0, "second\r\n"}}));
    const int port = FreePort();
    const int webPort = FreePort();
    OmbrixProcess program(
        runtime.path(),
        {QStringLiteral("--port"), QString::number(port), QStringLiteral("--bind"),
         QStringLiteral("::1"), QStringLiteral("--web-port"), QString::number(webPort),
         QStringLiteral("--web-bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--max-viewers"),
         QStringLiteral("1"), recording});
    ASSERT_TRUE(
        program.WaitForLine(QStringLiteral("web: http://127.0.0.1:%1/").arg(webPort), kWaitMs))
        << program.Errors().toStdString();
    EXPECT_FALSE(Ipv4Listens(port)) << "the telnet port is on ::1 only";
    Ipv6Client onWebPort;
    EXPECT_FALSE(onWebPort.Connect(webPort)) << "the web port is on 127.0.0.1 only";

    Ipv6Client viewer;
    ASSERT_TRUE(viewer.Connect(port));
    ASSERT_TRUE(program.WaitForLine(QStringLiteral("connection: ::1,1"), kWaitMs));
    viewer.ReadFor(300);
    EXPECT_EQ(viewer.received, kGreeting + "first\r\n");

    Ipv6Client late;
    ASSERT_TRUE(late.Connect(port));
    EXPECT_TRUE(late.ReadFor(kWaitMs)) << "closed after its line";
    EXPECT_EQ(late.received, QByteArray("Ombrix: 1 viewers are watching, as many as this server "
                                        "takes. Please try again later.\r\n"));

    // The one inside was never disturbed.
    EXPECT_FALSE(program.HasLinePrefix("connection: ::1,2"));
    EXPECT_FALSE(viewer.ReadFor(200));
    EXPECT_EQ(program.Stop(), 0);
}
