// The real program, headless, on a free port with its own runtime folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <vector>

#include "platform/SharedMemory.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/Ttyrec.h"

namespace {

const QString kWaiting = QStringLiteral("ポートで接続待ち...");
constexpr qsizetype TelnetGreetingSize = 9;

struct ProgramFixture
{
    QTemporaryDir runtime;
    QTemporaryDir files;
    int port = FreePort();

    QStringList Args(const QStringList& more = {}) const
    {
        return QStringList{QStringLiteral("--port"), QString::number(port)} + more;
    }
    QString Recording(const QString& name)
    {
        const QString path = files.filePath(name);
        WriteFile(path, TtyrecBytes({{1, 0, name.toUtf8()}, {2, 0, "end"}}));
        return path;
    }
    QString WaitingLine() const
    {
        return QStringLiteral("connection: ") + QString::number(port) + kWaiting;
    }
};

TEST(Program, StartsWaitingAndEndsCleanlyOnSigterm)
{
    ProgramFixture fixture;
    OmbrixProcess first(fixture.runtime.path(), fixture.Args());
    ASSERT_TRUE(first.WaitForLine(fixture.WaitingLine(), 5000))
        << first.Output().toStdString() << first.Errors().toStdString();
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(5000), 0);
}

TEST(Program, LaterFileArgumentWinsAndSecondStartHandsOver)
{
    ProgramFixture fixture;
    const QString a = fixture.Recording("a.ttyrec");
    const QString b = fixture.Recording("b.ttyrec");
    OmbrixProcess first(
        fixture.runtime.path(),
        fixture.Args({a, fixture.files.filePath("missing"), b, fixture.files.path()}),
        fixture.files.path());
    ASSERT_TRUE(first.WaitForLine(QStringLiteral("file: b.ttyrec"), 5000));
    EXPECT_FALSE(first.Output().contains(QStringLiteral("file: a.ttyrec")));

    const QString c = fixture.Recording("c.ttyrec");
    OmbrixProcess second(fixture.runtime.path(), fixture.Args({c}));
    EXPECT_EQ(second.WaitForExit(3000), 0);
    EXPECT_TRUE(first.WaitForLine(QStringLiteral("file: c.ttyrec"), 3000));
    // The second copy never served.
    EXPECT_FALSE(second.Output().contains(kWaiting));

    // A relative path is resolved where the first copy runs, not where the second does.
    QTemporaryDir elsewhere;
    OmbrixProcess third(fixture.runtime.path(), fixture.Args({QStringLiteral("a.ttyrec")}),
                        elsewhere.path());
    EXPECT_EQ(third.WaitForExit(3000), 0);
    EXPECT_FALSE(first.WaitForLine(QStringLiteral("file: a.ttyrec"), 500));

    WriteFile(elsewhere.filePath("a.ttyrec"), QByteArray("not checked by the receiver"));
    OmbrixProcess fourth(fixture.runtime.path(), fixture.Args({QStringLiteral("a.ttyrec")}),
                         elsewhere.path());
    EXPECT_EQ(fourth.WaitForExit(3000), 0);
    // The first copy opens its own a.ttyrec; the one beside the second copy is no recording.
    EXPECT_TRUE(first.WaitForLine(QStringLiteral("file: a.ttyrec"), 3000));
    EXPECT_EQ(first.Stop(), 0);
}

TEST(Program, AfterSigkillANewStartServes)
{
    ProgramFixture fixture;
    {
        OmbrixProcess doomed(fixture.runtime.path(), fixture.Args());
        ASSERT_TRUE(doomed.WaitForLine(fixture.WaitingLine(), 5000));
        doomed.Signal(SIGKILL);
        EXPECT_EQ(doomed.WaitForExit(3000), -1);  // died of the signal
    }
    OmbrixProcess next(fixture.runtime.path(), fixture.Args({fixture.Recording("x.ttyrec")}));
    EXPECT_TRUE(next.WaitForLine(fixture.WaitingLine(), 5000)) << next.Errors().toStdString();
    EXPECT_TRUE(next.WaitForLine(QStringLiteral("file: x.ttyrec"), 2000));
    EXPECT_EQ(next.Stop(), 0);
}

TEST(Program, PortTakenEndsWithStatusOneAndTheBindError)
{
    ProgramFixture fixture;
    UniqueFd blocker = TakePort(fixture.port);
    ASSERT_TRUE(blocker.Valid());
    OmbrixProcess program(fixture.runtime.path(), fixture.Args());
    EXPECT_EQ(program.WaitForExit(5000), 1);
    EXPECT_TRUE(program.Errors().contains(QStringLiteral("(98) [API 'bind'].")))
        << program.Errors().toStdString();
    blocker.Close();
    // The failed start left nothing behind: the next start is a first instance again.
    OmbrixProcess next(fixture.runtime.path(), fixture.Args());
    EXPECT_TRUE(next.WaitForLine(fixture.WaitingLine(), 5000));
}

// Each wrong option has its error in CommandLine_test; here, what the program does with one.
TEST(Program, ABadOptionEndsWithStatusTwoAndTheUsageOnStandardError)
{
    QTemporaryDir runtime;
    OmbrixProcess program(runtime.path(), {QStringLiteral("--port"), QStringLiteral("0")});
    EXPECT_EQ(program.WaitForExit(3000), 2);
    const QString errors = program.Errors();
    EXPECT_TRUE(errors.startsWith(QStringLiteral("ombrix: --port needs a number from 1 to 65535")))
        << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("\nUsage: ombrix "))) << errors.toStdString();
    EXPECT_EQ(program.Output(), QString());
}

TEST(Program, AutoStartRunsOnceForTheFirstInstanceOnly)
{
    ProgramFixture fixture;
    // A copy of the program in a folder of its own, with an OmbrixAuto beside it that
    // leaves a mark each time it runs.
    QTemporaryDir installed;
    const QString program = installed.filePath(QStringLiteral("ombrix"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(OMBRIX_BINARY), program));
    const QString marks = installed.filePath(QStringLiteral("marks"));
    const QString script = installed.filePath(QStringLiteral("OmbrixAuto"));
    WriteFile(script, ("#!/bin/sh\necho started >> '" + marks + "'\n").toUtf8());
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    OmbrixProcess first(fixture.runtime.path(), fixture.Args(), QString(), program);
    ASSERT_TRUE(first.WaitForLine(fixture.WaitingLine(), 5000));
    OmbrixProcess second(fixture.runtime.path(), fixture.Args({fixture.Recording("s")}), QString(),
                         program);
    EXPECT_EQ(second.WaitForExit(3000), 0);
    QThread::msleep(500);
    QFile file(marks);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("started\n"));
    EXPECT_EQ(first.Stop(), 0);
}

TEST(Program, StatusOutputThatNobodyReadsHoldsUpNoViewerAndAClosedOneIsSurvived)
{
    ProgramFixture fixture;
    // At speed 100 a frame every 10 ms, each one more time line: far more than a pipe of
    // one page holds.
    constexpr int kFrames = 800;
    std::vector<TestFrame> frames;
    for (int i = 0; i < kFrames; ++i) {
        frames.push_back({i, 0, "."});
    }
    frames.push_back({kFrames, 0, "end"});
    const QString path = fixture.files.filePath(QStringLiteral("long.ttyrec"));
    ASSERT_TRUE(WriteFile(path, TtyrecBytes(frames)));
    OmbrixProcess program(fixture.runtime.path(), fixture.Args({path}));
    ASSERT_TRUE(program.WaitForLine(fixture.WaitingLine(), 5000));
    program.ShrinkOutputPipe();
    program.LeaveOutputUnread();

    LoopbackClient viewer;
    ASSERT_TRUE(viewer.Connect(fixture.port));
    viewer.Send("+++++++");
    EXPECT_TRUE(LoopbackClient::PumpUntil(
        [&] { return !viewer.ReadFor(1).isEmpty() && viewer.Received().endsWith("end"); }, 30000))
        << viewer.Received().size() << " bytes arrived";

    // The reader goes away; the next status line meets a closed pipe.
    program.CloseOutput();
    LoopbackClient second;
    ASSERT_TRUE(second.Connect(fixture.port));
    LoopbackClient third;
    ASSERT_TRUE(third.Connect(fixture.port));
    EXPECT_TRUE(third.WaitForBytes(3, 3000)) << "still serving";
    EXPECT_EQ(program.Stop(), 0);
}

TEST(Program, ChildrenInheritNoDescriptorOfOurs)
{
    ProgramFixture fixture;
    QTemporaryDir installed;
    const QString program = installed.filePath(QStringLiteral("ombrix"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(OMBRIX_BINARY), program));
    const QString listing = installed.filePath(QStringLiteral("fds"));
    const QString script = installed.filePath(QStringLiteral("OmbrixAuto"));
    WriteFile(script, ("#!/bin/sh\nls -l /proc/$$/fd > '" + listing + "'\n").toUtf8());
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // The auto-start runs after the server, the hand-off endpoint, the timer and the
    // recording are all open.
    const QString recording = fixture.Recording(QStringLiteral("held.ttyrec"));
    OmbrixProcess first(fixture.runtime.path(), fixture.Args({recording}), QString(), program);
    ASSERT_TRUE(first.WaitForLine(QStringLiteral("file: held.ttyrec"), 5000));
    QFile file(listing);
    ASSERT_TRUE(QTest::qWaitFor([&] { return file.size() > 0; }, 3000));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString fds = QString::fromUtf8(file.readAll());
    for (const char* ours : {"held.ttyrec", "socket:", ".lock", "anon_inode:"}) {
        EXPECT_FALSE(fds.contains(QLatin1String(ours))) << ours << " in\n" << fds.toStdString();
    }
    EXPECT_EQ(first.Stop(), 0);
}

TEST(Program, SoftDescriptorLimitIsRaisedToTheHardOne)
{
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max <= 64) {
        GTEST_SKIP() << "hard limit too low to tell";
    }
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    ProgramFixture fixture;
    OmbrixProcess program(fixture.runtime.path(), fixture.Args());  // inherits the 64
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(program.WaitForLine(fixture.WaitingLine(), 5000));

    QFile limits(QStringLiteral("/proc/%1/limits").arg(program.Pid()));
    ASSERT_TRUE(limits.open(QIODevice::ReadOnly));
    const QString line = QString::fromUtf8(limits.readAll())
                             .split(u'\n')
                             .filter(QStringLiteral("Max open files"))
                             .value(0);
    const QStringList fields = line.split(u' ', Qt::SkipEmptyParts);
    ASSERT_GE(fields.size(), 5) << line.toStdString();
    EXPECT_EQ(fields[3], fields[4]) << line.toStdString();
    EXPECT_EQ(program.Stop(), 0);
}

TEST(Program, EveryArgumentIsOursWhateverItLooksLikeOrHowItIsEncoded)
{
    ProgramFixture fixture;
    // Names the toolkit would take for its own options.
    for (const QString& name : {QStringLiteral("-platform"), QStringLiteral("-reverse")}) {
        fixture.Recording(name);
        OmbrixProcess program(fixture.runtime.path(), fixture.Args({name, QStringLiteral("x")}),
                              fixture.files.path());
        EXPECT_TRUE(program.WaitForLine(QStringLiteral("file: ") + name, 5000))
            << program.Output().toStdString() << program.Errors().toStdString();
        EXPECT_EQ(program.Stop(), 0);
    }

    // A name that is not UTF-8 reaches open() byte for byte.
    const QByteArray name("latin1-\xe9t\xe9.ttyrec");
    const QByteArray path = QFile::encodeName(fixture.files.path()) + '/' + name;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const QByteArray bytes = TtyrecBytes({{1, 0, "frame"}});
    ASSERT_EQ(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
    ::close(fd);
    OmbrixProcess program(fixture.runtime.path(), fixture.Args(), QString(), QString(), {path});
    ASSERT_TRUE(program.WaitForLine(fixture.WaitingLine(), 5000));
    LoopbackClient viewer;
    ASSERT_TRUE(viewer.Connect(fixture.port));
    EXPECT_TRUE(viewer.WaitForBytes(TelnetGreetingSize + 5, 3000));
    EXPECT_TRUE(viewer.Received().endsWith("frame"));
    EXPECT_TRUE(program.Output().contains(QStringLiteral("file: latin1-")));
    EXPECT_EQ(program.Stop(), 0);
    ::unlink(path.constData());  // a name the temporary folder's own clean-up cannot spell
}

TEST(Program, AHandOffNotAcceptedFailsInTimeWithALineNamingTheFile)
{
    ProgramFixture fixture;
    const QString recording = fixture.Recording(QStringLiteral("lost.ttyrec"));
    {
        // The running copy is stopped: it never answers.
        OmbrixProcess first(fixture.runtime.path(), fixture.Args());
        ASSERT_TRUE(first.WaitForLine(fixture.WaitingLine(), 5000));
        first.Signal(SIGSTOP);
        OmbrixProcess second(fixture.runtime.path(), fixture.Args({recording}));
        EXPECT_EQ(second.WaitForExit(8000), 1);
        EXPECT_TRUE(second.Errors().contains(recording)) << second.Errors().toStdString();
        first.Signal(SIGCONT);
        EXPECT_EQ(first.Stop(), 0);
    }
    // A copy holds the instance but has no endpoint at all.
    const QByteArray ownRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", fixture.runtime.path().toLocal8Bit());
    uint32_t existed = 1;
    std::unique_ptr<SharedMemory> held =
        OpenSharedMemory(QStringLiteral("OmbrixFileMapping"), 4, &existed);
    qputenv("XDG_RUNTIME_DIR", ownRuntime);
    ASSERT_TRUE(held);
    ASSERT_EQ(existed, 0u);
    OmbrixProcess second(fixture.runtime.path(), fixture.Args({recording}));
    EXPECT_EQ(second.WaitForExit(8000), 1);
    EXPECT_TRUE(second.Errors().contains(recording)) << second.Errors().toStdString();
}

// Runs the script in a mount namespace of its own with a private /tmp, where a folder of
// another user can be planted at /tmp/ombrix-UID without touching the machine's. What it
// prints is returned; empty when that cannot be done here (it needs root).
QString RunWithPrivateTmp(const QString& script, const QStringList& arguments)
{
    if (::geteuid() != 0) {
        return {};
    }
    QProcess shell;
    shell.start(QStringLiteral("unshare"),
                QStringList{QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                            QStringLiteral("mount -t tmpfs tmpfs /tmp && ") + script,
                            QStringLiteral("sh")} +
                    arguments);
    if (!shell.waitForFinished(30000)) {
        shell.kill();
        shell.waitForFinished();
    }
    return QString::fromUtf8(shell.readAllStandardOutput() + shell.readAllStandardError());
}

TEST(Program, ATakenRuntimeFolderIsToldAndEveryStartAgreesOnTheOneUsedInstead)
{
    // Another user made /tmp/ombrix-UID first. A first start serves from a folder of its
    // own, and a second start finds it there and hands its recording over.
    const QString uid = QString::number(::geteuid());
    const QString script = QStringLiteral(R"(
        mkdir /tmp/ombrix-$3 && chown 4242:4242 /tmp/ombrix-$3 || exit 99
        export HOME=/tmp/home; mkdir -p $HOME; unset XDG_RUNTIME_DIR XDG_CACHE_HOME DISPLAY
        printf '\001\000\000\000\000\000\000\000\002\000\000\000hi' > /tmp/r.ttyrec
        $1 --headless --port $2 >/tmp/first.out 2>/tmp/first.err & first=$!
        for i in $(seq 50); do grep -qs connection /tmp/first.out && break; sleep 0.1; done
        $1 --headless --port $2 /tmp/r.ttyrec >/tmp/second.out 2>/tmp/second.err
        echo "second: $?"
        sleep 0.5; kill $first; wait $first; echo "first: $?"
        cat /tmp/first.out /tmp/first.err /tmp/second.err
        chmod 0777 $HOME/.cache
        $1 --headless --port $2 >/tmp/third.out 2>/tmp/third.err; echo "third: $?"
        cat /tmp/third.err)");
    const QString printed = RunWithPrivateTmp(
        script, {QStringLiteral(OMBRIX_BINARY), QString::number(FreePort()), uid});
    if (printed.isEmpty()) {
        GTEST_SKIP() << "needs root for a mount namespace with a private /tmp";
    }
    const QString taken =
        u"ombrix: /tmp/ombrix-" + uid +
        u" cannot be the runtime folder: it belongs to user 4242; using /tmp/ombrix-" + uid + u'-';
    EXPECT_TRUE(printed.contains(u"second: 0\n")) << printed.toStdString();
    EXPECT_TRUE(printed.contains(u"first: 0\n")) << printed.toStdString();
    EXPECT_TRUE(printed.contains(u"file: r.ttyrec\n")) << "the first took it";
    EXPECT_EQ(printed.count(taken), 2) << "each start tells it once";
    // With the cache folder open to others the record cannot be kept: no folder at all.
    EXPECT_TRUE(printed.contains(u"third: 1\n"));
    EXPECT_TRUE(
        printed.contains(u"/tmp/home/.cache above it is not safe: others can use it "
                         u"(mode 0777)"));
    EXPECT_TRUE(printed.endsWith(u"あれ?\n")) << printed.toStdString();
}

}  // namespace
