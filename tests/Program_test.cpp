// The real program, headless, on a free port with its own runtime folder.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "support/OmbrixProcess.h"
#include "support/Ttyrec.h"

namespace {

const QString kWaiting = QStringLiteral("ポートで接続待ち...");

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
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(fixture.port));
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    OmbrixProcess program(fixture.runtime.path(), fixture.Args());
    EXPECT_EQ(program.WaitForExit(5000), 1);
    EXPECT_TRUE(program.Errors().contains(QStringLiteral("(98) [API 'bind'].")))
        << program.Errors().toStdString();
    ::close(blocker);
    // The failed start left nothing behind: the next start is a first instance again.
    OmbrixProcess next(fixture.runtime.path(), fixture.Args());
    EXPECT_TRUE(next.WaitForLine(fixture.WaitingLine(), 5000));
}

TEST(Program, BadOptionsGiveUsageAndStatusTwo)
{
    QTemporaryDir runtime;
    for (const QStringList& args : {QStringList{"--port", "0"}, QStringList{"--port", "70000"},
                                    QStringList{"--port"}, QStringList{"--bogus"}}) {
        OmbrixProcess program(runtime.path(), args);
        EXPECT_EQ(program.WaitForExit(3000), 2) << args.join(' ').toStdString();
        EXPECT_TRUE(program.Errors().contains(QStringLiteral("Usage:")));
    }
    OmbrixProcess help(runtime.path(), {QStringLiteral("--help")});
    EXPECT_EQ(help.WaitForExit(3000), 0);
    EXPECT_TRUE(help.Output().contains(QStringLiteral("telnet localhost 21089")));
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

}  // namespace
