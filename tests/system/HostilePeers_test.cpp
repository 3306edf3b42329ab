// The real program against peers that mean it harm: floods of keys from a telnet client
// and a page at once, while someone watches.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

#include "support/Loopback.h"
#include "support/OmbrixProcess.h"
#include "support/ProcessProbe.h"
#include "support/Ttyrec.h"

namespace {

constexpr int kWaitMs = 5000;

// Sends what the socket takes now; a full socket is a peer's problem, not the test's.
ssize_t SendSome(int fd, const QByteArray& bytes)
{
    return ::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()),
                  MSG_NOSIGNAL | MSG_DONTWAIT);
}

// The same chunk over and over, as fast as the connection takes it, never cut: what a
// send leaves goes first next time.
struct Flooder
{
    UniqueFd fd;
    QByteArray chunk;
    QByteArray left;

    void Flood()
    {
        if (left.isEmpty()) {
            left = chunk;
        }
        const ssize_t sent = SendSome(fd.Get(), left);
        left.remove(0, std::max<ssize_t>(sent, 0));
    }
};

QByteArray ReadSome(int fd)
{
    char buffer[65536];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return got > 0 ? QByteArray(buffer, got) : QByteArray();
}

// A page's WebSocket, opened by hand: it never reads what the program sends.
UniqueFd OpenPage(int port)
{
    UniqueFd page = ConnectLoopback(port);
    SendSome(page.Get(),
             "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
             "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    return page;
}

// One binary message of keys as a page sends it: masked, here with a mask of zeros.
QByteArray PageKeys(const QByteArray& keys)
{
    QByteArray frame("\x82\xfe", 2);
    frame.append(static_cast<char>(keys.size() >> 8)).append(static_cast<char>(keys.size()));
    return frame.append(4, '\0').append(keys);
}

}  // namespace

// Both flooders send speed keys as fast as their connections take them, with the
// program's standard output stalled, so every key that acted would be a status line too.
TEST(HostilePeers, AKeyFloodNeitherFreezesPlaybackNorHoldsOffTermination)
{
    RecordingFolder folder;
    std::vector<TestFrame> frames;
    for (int i = 0; i < 600; ++i) {
        frames.push_back(
            {i / 10, (i % 10) * 100000, QStringLiteral("frame %1\r\n").arg(i).toUtf8()});
    }
    const QString path = folder.Write(QStringLiteral("steady.ttyrec"), TtyrecBytes(frames));
    const int port = FreePort();
    const int webPort = FreePort();
    OmbrixProcess program(
        QString(), {QStringLiteral("--port"), QString::number(port), QStringLiteral("--web-port"),
                    QString::number(webPort), path});
    ASSERT_TRUE(
        program.WaitForLine(QStringLiteral("web: http://127.0.0.1:%1/").arg(webPort), kWaitMs));
    program.ShrinkOutputPipe();
    program.LeaveOutputUnread();

    UniqueFd watcher = ConnectLoopback(port);
    // Each key changes the speed, between 1 and 2 whichever of them act.
    Flooder telnet{ConnectLoopback(port), QByteArray("1+").repeated(32 * 1024), {}};
    Flooder page{OpenPage(webPort), PageKeys(QByteArray("1+").repeated(30000)), {}};
    ASSERT_TRUE(watcher.Valid() && telnet.fd.Valid() && page.fd.Valid());

    // Three seconds of flood: at speed 1 or 2, thirty to sixty frames are due.
    QByteArray seen;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
        telnet.Flood();
        page.Flood();
        ReadSome(telnet.fd.Get());
        pollfd wait{watcher.Get(), POLLIN, 0};
        if (::poll(&wait, 1, 1) > 0) {
            seen += ReadSome(watcher.Get());
        }
    }
    QSet<QString> arrived;
    static const QRegularExpression frame(QStringLiteral("frame (\\d+)"));
    for (const QRegularExpressionMatch& match : frame.globalMatch(QString::fromUtf8(seen))) {
        arrived.insert(match.captured(1));
    }
    EXPECT_GE(arrived.size(), 20) << "frames that reached the watcher during the flood";

    // The flood ends; what it left queued must not keep the program from ending.
    telnet.fd.Close();
    page.fd.Close();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitForExit(kWaitMs), 0);
}

// Half-sent requests from many addresses until the program has no descriptor left: the web
// port rests instead of spinning on accept, turns newcomers away instead of leaving them
// in its queue, and serves again once descriptors come back (the telnet port's side:
// Crowd_test).
TEST(HostilePeers, WebClientsThatExhaustTheDescriptorsNeitherSpinNorStrandTheRest)
{
#ifdef OMBRIX_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    QTemporaryDir runtime;
    const QString wrapper =
        WriteDescriptorLimitedLauncher(runtime.path(), QStringLiteral(OMBRIX_BINARY), 96);
    const int port = FreePort();
    const int webPort = FreePort();
    OmbrixProcess program(runtime.path(),
                          {QStringLiteral("--port"), QString::number(port),
                           QStringLiteral("--web-port"), QString::number(webPort)},
                          QString(), wrapper);
    ASSERT_TRUE(
        program.WaitForLine(QStringLiteral("web: http://127.0.0.1:%1/").arg(webPort), kWaitMs));
    ASSERT_TRUE(WaitForListening(webPort, kWaitMs));

    // Thirty from each of five addresses: more than the program has descriptors for.
    std::vector<UniqueFd> holders;
    for (int i = 0; i < 150; ++i) {
        const QByteArray from = "127.0.0." + QByteArray::number(2 + i / 30);
        holders.push_back(NewLoopbackSocket({0, false, from.constData()}));
        StartConnect(holders.back().Get(), webPort);
    }
    QTest::qWait(300);
    for (const UniqueFd& holder : holders) {
        SendSome(holder.Get(), "GET / HTTP/1.1\r\n");
    }
    // Past the shortage's first second, the ones it cannot serve are closed.
    const double cpuBefore = CpuSeconds(program.Pid());
    QTest::qWait(2500);
    const double cpuSpent = CpuSeconds(program.Pid()) - cpuBefore;
    int closed = 0;
    for (const UniqueFd& holder : holders) {
        char byte = 0;
        const ssize_t got = ::recv(holder.Get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        closed += got == 0 || (got < 0 && errno != EAGAIN) || byte == 'H' ? 1 : 0;
    }
    EXPECT_GT(closed, 30) << "newcomers past the descriptors were left waiting";
    EXPECT_LT(cpuSpent, 1.0) << "CPU seconds in 2.5 s of shortage";

    // Some leave: a page is served again.
    holders.resize(40);
    QTest::qWait(200);
    UniqueFd page = ConnectLoopback(webPort);
    ASSERT_TRUE(page.Valid());
    SendSome(page.Get(), "GET /page.css HTTP/1.1\r\n\r\n");
    QByteArray answer;
    for (int i = 0; i < 500 && !answer.contains("\r\n\r\n"); ++i) {
        answer += ReadSome(page.Get());
        QTest::qWait(10);
    }
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.constData();
    EXPECT_EQ(program.Stop(), 0);
}
