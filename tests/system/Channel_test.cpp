// A channel of recordings played one after another by the real program: the recorded
// sessions byte-exact with a terminal reset before each that follows another, the pause
// between them, a bad entry passed over, the loop, and a viewer who joins mid-list.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/SessionOutput.h"

namespace {

const QString kRecordings = QStringLiteral(OMBRIX_SOURCE_DIR "/tests/recordings/");

TEST(Channel, RecordingsFollowEachOtherAfterTheGapWithAResetAndLoop)
{
    const QByteArray reset = QByteArrayLiteral(
        "\x1b"
        "c");
    const QByteArray ttyrec = SessionOutput("\xff\xff");
    const QByteArray cast = SessionOutput("\\377");
    QTemporaryDir runtime;
    QTemporaryDir files;
    const QString missing = files.filePath(QStringLiteral("missing.ttyrec"));
    const int port = FreePort();
    // Pauses of 30 s, which the first viewer's keys cut short: nothing arrives while one
    // lasts, however loaded the machine.
    OmbrixProcess channel(
        runtime.path(), {QStringLiteral("--port"), QString::number(port),
                         QStringLiteral("--playlist"), QStringLiteral("--loop"),
                         QStringLiteral("--gap=30"), kRecordings + QStringLiteral("session.ttyrec"),
                         missing, kRecordings + QStringLiteral("session.cast")});
    ASSERT_TRUE(channel.WaitForLinePrefix("connection: ", 5000));
    LoopbackClient first;
    ASSERT_TRUE(first.Connect(port));
    QByteArray expected = TelnetGreeting + ttyrec;
    ASSERT_TRUE(first.WaitForBytes(expected.size(), 10000));
    EXPECT_EQ(first.ReadFor(500), QByteArray());

    first.Send("x");  // the next at once: the missing file, which fails
    ASSERT_TRUE(channel.WaitForLine(QStringLiteral("file: オープン失敗"), 5000))
        << channel.Output().toStdString();
    EXPECT_TRUE(channel.Errors().contains(missing)) << channel.Errors().toStdString();
    EXPECT_EQ(first.ReadFor(300), QByteArray());  // a failure sends nothing, not even a reset

    // The asciicast file; a second viewer joins once it has begun.
    first.Send("x");
    const QByteArray castStart = reset + cast.left(cast.indexOf('\n') + 1);
    ASSERT_TRUE(first.WaitForBytes(expected.size() + castStart.size(), 5000));
    LoopbackClient late;
    ASSERT_TRUE(late.Connect(port));
    expected += reset + cast;
    ASSERT_TRUE(first.WaitForBytes(expected.size(), 10000));
    EXPECT_TRUE(channel.Output().contains(QStringLiteral("\nfile: session.cast (3/3)\n")));

    // From the top again, after the gap and a reset.
    EXPECT_EQ(first.ReadFor(300), QByteArray());
    first.Send("x");
    expected += reset + ttyrec;
    ASSERT_TRUE(first.WaitForBytes(expected.size(), 10000));
    late.ReadFor(300);
    EXPECT_EQ(first.Received(), expected);
    EXPECT_EQ(late.Received(), TelnetGreeting + reset + cast + reset + ttyrec);
    EXPECT_EQ(channel.Stop(), 0);
}

}  // namespace
