// The real Debian telnet client against the real program: what it shows and what its
// keys do. The client runs inside a private tmux server, which the test stops by pid.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/Ttyrec.h"

namespace {

// A tmux server of the test's own, running one telnet client in an 80x24 pane.
class TelnetInTmux
{
public:
    explicit TelnetInTmux(int port) : socketName_(QStringLiteral("ombrix-test-%1").arg(::getpid()))
    {
        Run({"new-session", "-d", "-x", "80", "-y", "24",
             QStringLiteral("telnet 127.0.0.1 %1").arg(port)});
        serverPid_ = Run({"display-message", "-p", "#{pid}"}).trimmed().toInt();
    }
    ~TelnetInTmux()
    {
        Run({"kill-server"});
        if (serverPid_ > 0) {
            ::kill(serverPid_, SIGKILL);
        }
    }
    QString Screen() { return QString::fromUtf8(Run({"capture-pane", "-p"})); }
    bool WaitForScreen(const QString& text, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            if (Screen().contains(text)) {
                return true;
            }
            LoopbackClient::Pump(50);
        }
        return false;
    }
    void Keys(const QStringList& keys) { Run(QStringList{"send-keys"} + keys); }

private:
    QByteArray Run(const QStringList& arguments)
    {
        QProcess tmux;
        tmux.start(QStringLiteral("tmux"), QStringList{"-L", socketName_} + arguments);
        tmux.waitForFinished(5000);
        return tmux.readAllStandardOutput();
    }
    QString socketName_;
    int serverPid_ = 0;
};

bool Installed(const char* program)
{
    return QFileInfo::exists(QStringLiteral("/usr/bin/") + QLatin1String(program));
}

TEST(Telnet, ShowsTheRecordingAndItsKeysSteerEveryViewer)
{
    if (!Installed("tmux") || !Installed("telnet")) {
        GTEST_SKIP() << "tmux and telnet are installed by scripts/test";
    }
    QTemporaryDir dir;
    const QString recording = dir.filePath(QStringLiteral("show.ttyrec"));
    // Gaps of a thousand seconds: only keys move this recording on.
    const std::vector<TestFrame> frames = {
        {0, 0, "\x1b[2J\x1b[HHELLO-FROM-OMBRIX \xe6\x97\xa5\xe6\x9c\xac\r\n"},
        {1000, 0, "SECOND-FRAME\r\n"},
        {2000, 0, "THIRD-FRAME\r\n"},
        {3000, 0, "FOURTH-FRAME\r\n"},
    };
    ASSERT_TRUE(WriteFile(recording, TtyrecBytes(frames)));
    QTemporaryDir runtime;
    const int port = FreePort();
    OmbrixProcess program(runtime.path(),
                          {QStringLiteral("--port"), QString::number(port), recording});
    ASSERT_TRUE(program.WaitForLine(QStringLiteral("file: show.ttyrec"), 5000));

    TelnetInTmux telnet(port);
    ASSERT_TRUE(telnet.WaitForScreen(QStringLiteral("HELLO-FROM-OMBRIX 日本"), 5000))
        << telnet.Screen().toStdString();

    // A second viewer of our own, to count exactly what the telnet user's keys send.
    LoopbackClient watcher;
    ASSERT_TRUE(watcher.Connect(port));
    const QByteArray caughtUp = TelnetGreeting + frames[0].body;
    ASSERT_TRUE(watcher.WaitForBytes(caughtUp.size(), 3000));

    telnet.Keys({"f"});
    EXPECT_TRUE(program.WaitForLine(QStringLiteral("speed: 2"), 3000))
        << program.Output().toStdString();
    telnet.Keys({"f"});
    EXPECT_TRUE(program.WaitForLine(QStringLiteral("speed: 4"), 3000));
    telnet.Keys({"1"});
    EXPECT_TRUE(program.WaitForLine(QStringLiteral("speed: 1"), 3000));

    // Enter is one key: exactly one frame, to every viewer.
    telnet.Keys({"Enter"});
    EXPECT_TRUE(telnet.WaitForScreen(QStringLiteral("SECOND-FRAME"), 3000));
    ASSERT_TRUE(watcher.WaitForBytes(caughtUp.size() + frames[1].body.size(), 3000));
    EXPECT_EQ(watcher.ReadFor(500), QByteArray());
    EXPECT_EQ(watcher.Received(), caughtUp + frames[1].body);
    EXPECT_FALSE(telnet.Screen().contains(QStringLiteral("THIRD-FRAME")));

    // An arrow key is one key too.
    telnet.Keys({"Up"});
    EXPECT_TRUE(telnet.WaitForScreen(QStringLiteral("THIRD-FRAME"), 3000));
    EXPECT_EQ(watcher.ReadFor(500), frames[2].body);
    EXPECT_EQ(program.Stop(), 0);
}

}  // namespace
