// A channel of recordings played one after another by the real program: the recorded
// sessions byte-exact with a terminal reset between them, the pause before each, a bad
// entry passed over, and a viewer who joins mid-list.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"

namespace {

const QString kRecordings = QStringLiteral(OMBRIX_SOURCE_DIR "/tests/recordings/");
const QByteArray kReset = QByteArrayLiteral(
    "\x1b"
    "c");

// What the recorded session printed (tests/recordings/make); the asciicast copy has the
// text "\377" where the ttyrec copies have the byte 0xFF, doubled for telnet.
QByteArray Session(const QByteArray& iac)
{
    return "Ombrix format test\r\r\n"
           "\x1b[1mbold\x1b[0m and \x1b[31mred\x1b[0m\r\r\n"
           "iac:" +
           iac +
           ":end\r\r\n"
           "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf\xe3\x80\x81"
           "\xe4\xb8\x96\xe7\x95\x8c\r\r\n"
           "done\r\r\n";
}
const QByteArray kTtyrec = Session("\xff\xff");
const QByteArray kCast = Session("\\377");

struct Channel
{
    explicit Channel(const QStringList& arguments)
        : process(runtime.path(), QStringList{QStringLiteral("--port"), QString::number(port),
                                              QStringLiteral("--playlist")} +
                                      arguments)
    {
    }
    QTemporaryDir runtime;
    int port = FreePort();
    OmbrixProcess process;
};

TEST(Channel, RealRecordingsPlayInOrderAndLoopWithAResetBetween)
{
    Channel channel({QStringLiteral("--loop"), QStringLiteral("--gap"), QStringLiteral("0.2"),
                     kRecordings + QStringLiteral("session.ttyrec"),
                     kRecordings + QStringLiteral("session.cast"),
                     kRecordings + QStringLiteral("session.ttyrec.gz")});
    ASSERT_TRUE(channel.process.WaitForLine(QStringLiteral("file: session.ttyrec (1/3)"), 5000))
        << channel.process.Output().toStdString();
    LoopbackClient viewer;
    ASSERT_TRUE(viewer.Connect(channel.port));
    viewer.Send("+++");  // eight times as fast, for the whole list
    // A whole round, and the first again.
    const QByteArray expected =
        TelnetGreeting + kTtyrec + kReset + kCast + kReset + kTtyrec + kReset + kTtyrec;
    ASSERT_TRUE(viewer.WaitForBytes(expected.size(), 20000))
        << viewer.Received().toStdString() << channel.process.Output().toStdString();
    EXPECT_EQ(viewer.Received().left(expected.size()), expected);
    EXPECT_TRUE(
        channel.process.Output().contains(QStringLiteral("\nfile: session.ttyrec.gz (3/3)\n")));
    EXPECT_EQ(channel.process.Stop(), 0);
}

TEST(Channel, TheGapHoldsABadEntryIsPassedOverAndALateJoinerStartsWithTheReset)
{
    // Pauses of 30 s, which the first viewer's keys cut short: nothing arrives while one
    // lasts, however loaded the machine.
    QTemporaryDir files;
    const QString missing = files.filePath(QStringLiteral("missing.ttyrec"));
    Channel channel({QStringLiteral("--gap=30"), kRecordings + QStringLiteral("session.ttyrec"),
                     missing, kRecordings + QStringLiteral("session.cast")});
    ASSERT_TRUE(channel.process.WaitForLinePrefix("connection: ", 5000));
    LoopbackClient first;
    ASSERT_TRUE(first.Connect(channel.port));
    ASSERT_TRUE(first.WaitForBytes(TelnetGreeting.size() + kTtyrec.size(), 10000));
    EXPECT_EQ(first.ReadFor(500), QByteArray());

    first.Send("x");  // the next at once: the missing file, which fails
    ASSERT_TRUE(channel.process.WaitForLine(QStringLiteral("file: オープン失敗"), 5000))
        << channel.process.Output().toStdString();
    EXPECT_TRUE(channel.process.Errors().contains(missing))
        << channel.process.Errors().toStdString();
    EXPECT_EQ(first.ReadFor(300), QByteArray());  // a failure sends nothing, not even a reset

    first.Send("x");
    const QByteArray castStart = kReset + kCast.left(kCast.indexOf('\n') + 1);
    ASSERT_TRUE(
        first.WaitForBytes(TelnetGreeting.size() + kTtyrec.size() + castStart.size(), 5000));
    LoopbackClient late;
    ASSERT_TRUE(late.Connect(channel.port));
    const QByteArray all = TelnetGreeting + kTtyrec + kReset + kCast;
    ASSERT_TRUE(first.WaitForBytes(all.size(), 10000));
    late.ReadFor(300);
    EXPECT_EQ(first.Received(), all);
    EXPECT_EQ(late.Received(), TelnetGreeting + kReset + kCast);
    EXPECT_EQ(channel.process.Stop(), 0);
}

}  // namespace
