// Recordings followed by the real program while they are being written: nothing partial
// is ever sent, a late viewer gets what the first saw, a truncated or replaced file starts
// anew with a reset while a deleted one stays served, formats that cannot be followed are
// refused, and memory does not grow with the file.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "common/Texts.h"
#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/ProcessProbe.h"
#include "support/Ttyrec.h"

namespace {

const QByteArray kReset = QByteArrayLiteral(
    "\x1b"
    "c");

// The program following a file of a folder of its own.
struct Following
{
    explicit Following(const QString& name)
        : path(folder.filePath(name)),
          port(FreePort()),
          process(runtime.path(), {QStringLiteral("--port"), QString::number(port),
                                   QStringLiteral("--follow"), path})
    {
        EXPECT_TRUE(process.WaitForLinePrefix("connection: ", 5000));
    }
    void Append(const QByteArray& bytes) const
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(bytes);
    }
    // Waits for panel 1's line: the file's name and what it is doing.
    bool Says(const QString& state)
    {
        return process.WaitForLine(
            QStringLiteral("file: ") + QFileInfo(path).fileName() + Texts::LiveState.arg(state),
            5000);
    }
    // A second start hands the file over, following it too.
    void HandOver(const QString& file) const
    {
        OmbrixProcess second(runtime.path(), {QStringLiteral("--port"), QString::number(port),
                                              QStringLiteral("--follow"), file});
        EXPECT_EQ(second.WaitForExit(5000), 0);
    }

    QTemporaryDir runtime;
    QTemporaryDir folder;
    QString path;
    int port;
    OmbrixProcess process;
};

TEST(Live, HalfWrittenFramesWaitForTheRestAndALateViewerGetsWhatTheFirstSaw)
{
    Following live(QStringLiteral("live.ttyrec"));
    ASSERT_TRUE(live.Says(Texts::LiveWaitingForFile)) << live.process.Output().toStdString();
    LoopbackClient first;
    ASSERT_TRUE(first.Connect(live.port));
    ASSERT_TRUE(first.WaitForBytes(TelnetGreeting.size(), 5000));

    live.Append(TtyrecBytes({{1, 0, "one\r\n"}}));
    QByteArray expected = TelnetGreeting + "one\r\n";
    ASSERT_TRUE(first.WaitForBytes(expected.size(), 5000));
    // A header, a pause, part of the body, a pause, the rest.
    const QByteArray two = TtyrecBytes({{2, 0, QByteArray("tw\xff\r\n")}});
    live.Append(two.left(12));
    EXPECT_EQ(first.ReadFor(300), QByteArray());
    live.Append(two.mid(12, 2));
    EXPECT_EQ(first.ReadFor(300), QByteArray());
    live.Append(two.mid(14));
    expected += "tw\xff\xff\r\n";
    ASSERT_TRUE(first.WaitForBytes(expected.size(), 5000));
    LoopbackClient late;
    ASSERT_TRUE(late.Connect(live.port));
    ASSERT_TRUE(late.WaitForBytes(expected.size(), 5000));
    EXPECT_EQ(late.Received(), expected);

    // An asciicast file handed over: the viewers' screens are cleared, and they get what
    // is written whole; half a line waits for its line break.
    const QString cast = live.folder.filePath(QStringLiteral("live.cast"));
    ASSERT_TRUE(WriteFile(cast,
                          "{\"version\": 2, \"width\": 80, \"height\": 24}\n"
                          "[0.1, \"o\", \"three\\r\\n\"]\n[0.2, \"o\", \"fo"));
    live.HandOver(cast);
    expected += kReset + "three\r\n";
    ASSERT_TRUE(first.WaitForBytes(expected.size(), 5000));
    EXPECT_EQ(first.ReadFor(300), QByteArray());
    QFile rest(cast);
    ASSERT_TRUE(rest.open(QIODevice::Append));
    rest.write("ur\\r\\n\"]\n");
    rest.close();
    expected += "four\r\n";
    ASSERT_TRUE(first.WaitForBytes(expected.size(), 5000));
    LoopbackClient later;
    ASSERT_TRUE(later.Connect(live.port));
    ASSERT_TRUE(later.WaitForBytes(TelnetGreeting.size() + 13, 5000));
    EXPECT_EQ(later.ReadFor(200), QByteArray());
    EXPECT_EQ(later.Received(), TelnetGreeting + "three\r\nfour\r\n");
    EXPECT_EQ(first.Received(), expected);

    // A compressed file cannot be followed: said, and nothing is played.
    const QString gzip = live.folder.filePath(QStringLiteral("live.ttyrec.gz"));
    QProcess compress;
    compress.setStandardOutputFile(gzip);
    compress.start(QStringLiteral("gzip"), {QStringLiteral("-c"), live.path});
    ASSERT_TRUE(compress.waitForFinished(5000));
    live.HandOver(gzip);
    EXPECT_TRUE(
        live.process.WaitForLine(QStringLiteral("file: ") + Texts::CannotFollowCompressed, 5000));
    EXPECT_TRUE(LoopbackClient::PumpUntil(
        [&] {
            return live.process.Errors().contains(gzip + QStringLiteral(": ") +
                                                  Texts::CannotFollowCompressed);
        },
        2000));
    EXPECT_EQ(first.ReadFor(200), QByteArray());
    EXPECT_EQ(live.process.Stop(), 0);
}

TEST(Live, TruncatedOrReplacedStartsANewRecordingWhileDeletedStaysServed)
{
    Following live(QStringLiteral("session.ttyrec"));
    ASSERT_TRUE(WriteFile(live.path, TtyrecBytes({{1, 0, "a\r\n"}})));
    LoopbackClient viewer;
    ASSERT_TRUE(viewer.Connect(live.port));
    QByteArray expected = TelnetGreeting + "a\r\n";
    ASSERT_TRUE(viewer.WaitForBytes(expected.size(), 5000));
    const auto expectNext = [&](const QByteArray& more, const QString& state) {
        expected += more;
        EXPECT_TRUE(live.Says(state)) << live.process.Output().toStdString();
        EXPECT_TRUE(viewer.WaitForBytes(expected.size(), 5000));
        EXPECT_EQ(viewer.Received(), expected);
        EXPECT_TRUE(LoopbackClient::PumpUntil(
            [&] {
                return live.process.Errors().contains(live.path + QStringLiteral(": ") + state);
            },
            2000));
    };

    // A new session written over it.
    ASSERT_TRUE(WriteFile(live.path, TtyrecBytes({{9, 0, "b\r\n"}})));
    expectNext(kReset + "b\r\n", Texts::LiveTruncated);
    // Rotated: another file renamed over it.
    const QString other = live.folder.filePath(QStringLiteral("next"));
    ASSERT_TRUE(WriteFile(other, TtyrecBytes({{5, 0, "c\r\n"}})));
    ASSERT_EQ(
        std::rename(QFile::encodeName(other).constData(), QFile::encodeName(live.path).constData()),
        0);
    expectNext(kReset + "c\r\n", Texts::LiveReplaced);
    // Deleted: what was played stays served to newcomers until the name comes back.
    ASSERT_TRUE(QFile::remove(live.path));
    expectNext(QByteArray(), Texts::LiveDeleted);
    LoopbackClient newcomer;
    ASSERT_TRUE(newcomer.Connect(live.port));
    ASSERT_TRUE(newcomer.WaitForBytes(TelnetGreeting.size() + 3, 5000));
    EXPECT_EQ(newcomer.Received(), TelnetGreeting + "c\r\n");
    live.Append(TtyrecBytes({{7, 0, "d\r\n"}}));
    expectNext(kReset + "d\r\n", Texts::LiveReplaced);
    EXPECT_EQ(live.process.Stop(), 0);
}

TEST(Live, MemoryDoesNotGrowWithTheFile)
{
    // A sanitizer build keeps freed memory in quarantine (256 MB by default), more than the
    // bound; a small one still catches reuse. Only the program started here gets it.
    const QByteArray asan = qgetenv("ASAN_OPTIONS");
    qputenv("ASAN_OPTIONS", asan + ":quarantine_size_mb=16");
    Following live(QStringLiteral("long.ttyrec"));
    asan.isNull() ? qunsetenv("ASAN_OPTIONS") : qputenv("ASAN_OPTIONS", asan);
    LoopbackClient viewer;
    ASSERT_TRUE(viewer.Connect(live.port));
    ASSERT_TRUE(viewer.WaitForBytes(TelnetGreeting.size(), 5000));
    const auto readAll = [&viewer](qint64& total) {
        char buffer[65536];
        ssize_t got;
        while ((got = ::recv(viewer.Fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            total += got;
        }
    };
    // 100 MB in frames of 64 KB, the viewer reading all of it as it comes.
    const QByteArray frame = TtyrecBytes({{1, 0, QByteArray(64 * 1024, 'x')}});
    const int frames = 1600;
    QFile file(live.path);
    ASSERT_TRUE(file.open(QIODevice::Append | QIODevice::Unbuffered));
    qint64 received = 0;
    long startKb = 0;
    for (int i = 0; i < frames; ++i) {
        file.write(frame);
        if (i == 16) {
            LoopbackClient::PumpUntil([&] { return readAll(received), received >= 16 * 65536; },
                                      5000);
            startKb = ResidentKb(live.process.Pid());
        }
        readAll(received);
    }
    const qint64 all = qint64{frames} * 64 * 1024;
    EXPECT_TRUE(
        LoopbackClient::PumpUntil([&] { return readAll(received), received >= all; }, 60000));
    EXPECT_EQ(received, all);
    const long endKb = ResidentKb(live.process.Pid());
    EXPECT_LT(endKb, startKb + 50 * 1024) << startKb << " KB at the start";
    EXPECT_EQ(live.process.Stop(), 0);
}

}  // namespace
