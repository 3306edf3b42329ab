// Browser viewers of the real program beside telnet viewers: the same frames, the same
// keys, the same count. (A page that stops reading: tests/WebServer_test.cpp.)
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebSocket>

#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/Ttyrec.h"

namespace {

constexpr int kWaitMs = 5000;

// A page's side of /ws, as a browser would speak it.
struct PageClient
{
    QWebSocket socket;
    QByteArray frames;
    QStringList controls;

    explicit PageClient(int port)
    {
        QObject::connect(&socket, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray& m) { frames += m; });
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString& m) { controls.append(m); });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    }
    bool WaitConnected()
    {
        return LoopbackClient::PumpUntil(
            [this] { return socket.state() == QAbstractSocket::ConnectedState; }, kWaitMs);
    }
    bool WaitForFrames(const QByteArray& expected)
    {
        return LoopbackClient::PumpUntil([&] { return frames.size() >= expected.size(); },
                                         kWaitMs) &&
               frames == expected;
    }
    bool WaitForControl(const QString& text)
    {
        return LoopbackClient::PumpUntil([&] { return controls.contains(text); }, kWaitMs);
    }
};

struct WebProgram
{
    QTemporaryDir runtime;
    QTemporaryDir files;
    int port = FreePort();
    int webPort = FreePort();
    std::unique_ptr<OmbrixProcess> program;

    bool Start(const std::vector<TestFrame>& frames)
    {
        const QString path = files.filePath(QStringLiteral("web.ttyrec"));
        WriteFile(path, TtyrecBytes(frames));
        program = std::make_unique<OmbrixProcess>(
            runtime.path(),
            QStringList{QStringLiteral("--port"), QString::number(port),
                        QStringLiteral("--web-port"), QString::number(webPort), path});
        return program->WaitForLine(QStringLiteral("web: http://127.0.0.1:%1/").arg(webPort),
                                    kWaitMs);
    }
    // The loop runs meanwhile, so the test's own WebSocket clients get on too.
    bool WaitForLine(const QString& line)
    {
        return LoopbackClient::PumpUntil(
            [&] { return program->Output().split(QLatin1Char('\n')).contains(line); }, kWaitMs);
    }
    std::string Output() { return QString(program->Output() + program->Errors()).toStdString(); }
};

// Gaps of a thousand seconds: only keys move these recordings on.
std::vector<TestFrame> KeyDrivenFrames()
{
    return {
        {0, 0, QByteArray("\x1b[2Jfirst \xff\xfe\x00 frame\r\n", 20)},
        {1000, 0, QByteArray("second \xff\xff frame\r\n")},
        {2000, 0, QByteArray("third \xe6\x97\xa5 frame\r\n")},
        {3000, 0, QByteArray("fourth\r\n")},
    };
}

QByteArray Bodies(const std::vector<TestFrame>& frames, size_t count)
{
    QByteArray bytes;
    for (size_t i = 0; i < count; ++i) {
        bytes += frames[i].body;
    }
    return bytes;
}

}  // namespace

TEST(WebViewers, GetTheRecordedBytesFromTheStartAndAsLateJoiners)
{
    WebProgram web;
    const std::vector<TestFrame> frames = KeyDrivenFrames();
    ASSERT_TRUE(web.Start(frames)) << web.Output();

    PageClient first(web.webPort);
    ASSERT_TRUE(first.WaitConnected());
    // The size comes before any frame; the first frame follows on the start timer.
    ASSERT_TRUE(first.WaitForControl(
        QStringLiteral("{\"cols\":80,\"rows\":24,\"speed\":1,\"control\":true,\"viewers\":1}")));
    EXPECT_TRUE(first.WaitForControl(QStringLiteral("{\"name\":\"web.ttyrec\"}")));
    ASSERT_TRUE(first.WaitForFrames(Bodies(frames, 1))) << first.frames.toHex().constData();

    LoopbackClient telnet;
    ASSERT_TRUE(telnet.Connect(web.port));
    const QByteArray telnetFirst = TelnetGreeting + NaiveEscape(frames[0].body);
    ASSERT_TRUE(telnet.WaitForBytes(telnetFirst.size(), kWaitMs));
    telnet.Send("x");  // one frame, to everyone
    ASSERT_TRUE(first.WaitForFrames(Bodies(frames, 2)));

    PageClient late(web.webPort);
    ASSERT_TRUE(late.WaitConnected());
    ASSERT_TRUE(late.WaitForFrames(Bodies(frames, 2)));
    late.socket.sendTextMessage(QStringLiteral(" "));  // a key from a page moves everyone on
    ASSERT_TRUE(late.WaitForFrames(Bodies(frames, 3)));
    ASSERT_TRUE(first.WaitForFrames(Bodies(frames, 3)));
    const QByteArray telnetAll = TelnetGreeting + NaiveEscape(Bodies(frames, 3));
    ASSERT_TRUE(telnet.WaitForBytes(telnetAll.size(), kWaitMs));
    EXPECT_EQ(telnet.Received(), telnetAll);
    LoopbackClient::Pump(200);
    EXPECT_EQ(first.frames, Bodies(frames, 3)) << "nothing twice, nothing extra";
    EXPECT_EQ(late.frames, Bodies(frames, 3));
    EXPECT_EQ(web.program->Stop(), 0);
}

TEST(WebViewers, KeysOfEitherKindSteerTheSpeedEveryoneGets)
{
    WebProgram web;
    ASSERT_TRUE(web.Start(KeyDrivenFrames())) << web.Output();
    PageClient page(web.webPort);
    ASSERT_TRUE(page.WaitConnected());
    LoopbackClient telnet;
    ASSERT_TRUE(telnet.Connect(web.port));

    page.socket.sendTextMessage(QStringLiteral("f"));
    EXPECT_TRUE(web.WaitForLine(QStringLiteral("speed: 2"))) << web.Output();
    EXPECT_TRUE(page.WaitForControl(QStringLiteral("{\"speed\":2}")));
    page.socket.sendBinaryMessage(QByteArray("f"));
    EXPECT_TRUE(web.WaitForLine(QStringLiteral("speed: 4")));
    telnet.Send("s");
    EXPECT_TRUE(web.WaitForLine(QStringLiteral("speed: 2")));
    EXPECT_TRUE(page.WaitForControl(QStringLiteral("{\"speed\":2}")));
    telnet.Send("1");
    EXPECT_TRUE(page.WaitForControl(QStringLiteral("{\"speed\":1}")));
    // A second page joins at the speed set, whoever set it.
    telnet.Send("ff");
    ASSERT_TRUE(page.WaitForControl(QStringLiteral("{\"speed\":4}")));
    PageClient second(web.webPort);
    EXPECT_TRUE(second.WaitForControl(
        QStringLiteral("{\"cols\":80,\"rows\":24,\"speed\":4,\"control\":true,\"viewers\":3}")));
    // Telnet commands mean nothing on a WebSocket: IAC is a key like any other.
    const qsizetype before = page.frames.size();
    page.socket.sendBinaryMessage(QByteArray("\xff\xfd\x01", 3));
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return page.frames.size() > before; }, kWaitMs));
    EXPECT_EQ(web.program->Stop(), 0);
}

TEST(WebViewers, CountInThePanelLikeTelnetViewers)
{
    WebProgram web;
    ASSERT_TRUE(web.Start(KeyDrivenFrames())) << web.Output();
    const QString waiting = QStringLiteral("connection: %1ポートで接続待ち...").arg(web.port);
    ASSERT_TRUE(web.WaitForLine(waiting));

    // The page joins first, from 127.0.0.2, so the panel shows who is named.
    LoopbackClient page;
    ASSERT_TRUE(page.ConnectFrom("127.0.0.2", web.webPort));
    page.Send(
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    EXPECT_TRUE(web.WaitForLine(QStringLiteral("connection: 127.0.0.2,1"))) << web.Output();
    {
        LoopbackClient telnet;
        ASSERT_TRUE(telnet.Connect(web.port));
        EXPECT_TRUE(web.WaitForLine(QStringLiteral("connection: 127.0.0.2,2"))) << web.Output();
        PageClient second(web.webPort);
        EXPECT_TRUE(web.WaitForLine(QStringLiteral("connection: 127.0.0.2,3"))) << web.Output();
    }
    // Both of the later ones left: one viewer, still the first page.
    EXPECT_TRUE(LoopbackClient::PumpUntil(
        [&] { return web.program->Output().endsWith(QStringLiteral("connection: 127.0.0.2,1\n")); },
        kWaitMs))
        << web.Output();
    page.Close();
    EXPECT_TRUE(LoopbackClient::PumpUntil(
        [&] { return web.program->Output().endsWith(waiting + QLatin1Char('\n')); }, kWaitMs))
        << web.Output();
    EXPECT_EQ(web.program->Stop(), 0);
}

TEST(WebViewers, ATakenWebPortEndsTheStartNamingBind)
{
    WebProgram web;
    LoopbackClient::Pump(1);
    UniqueFd blocker = TakePort(web.webPort);
    ASSERT_TRUE(blocker.Valid());
    OmbrixProcess program(web.runtime.path(),
                          {QStringLiteral("--port"), QString::number(web.port),
                           QStringLiteral("--web-port"), QString::number(web.webPort)});
    EXPECT_EQ(program.WaitForExit(kWaitMs), 1);
    EXPECT_TRUE(program.Errors().contains(QStringLiteral("(98) [API 'bind']")))
        << program.Errors().toStdString();
    blocker.Close();
}
