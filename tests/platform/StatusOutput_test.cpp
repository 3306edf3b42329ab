#include "platform/StatusOutput.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <QTest>

#include "platform/ProcessLimits.h"

namespace {

// The backlog's lines, front to back, as a reader would get them.
QByteArray Drain(LineBacklog& backlog)
{
    QByteArray out;
    while (!backlog.Empty()) {
        out.append(backlog.FrontData(), static_cast<qsizetype>(backlog.FrontSize()));
        backlog.Consume(backlog.FrontSize());
    }
    return out;
}

// Reads whatever the descriptor holds now.
QByteArray ReadAvailable(int fd)
{
    QByteArray out;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return out;
        }
        out.append(chunk, got);
    }
}

}  // namespace

TEST(LineBacklog, OverTheBoundStaleTimeLinesGoFirstAndEveryKeysLatestStays)
{
    LineBacklog backlog(40);
    backlog.Push("connection", "connection: a\n");
    backlog.Push("time", "time: 1\n");
    backlog.Push("connection", "connection: b\n");
    backlog.Push("time", "time: 2\n");
    // 44 bytes: the oldest time line goes, not the older connection line.
    EXPECT_EQ(Drain(backlog), QByteArray("connection: a\nconnection: b\ntime: 2\n"));

    backlog.Push("file", "file: x\n");
    backlog.Push("connection", "connection: c\n");
    backlog.Push("connection", "connection: d\n");
    backlog.Push("time", "time: 3\n");
    backlog.Push("speed", "speed: 2\n");
    // No stale time line is left: the oldest stale line of another key goes.
    EXPECT_EQ(Drain(backlog), QByteArray("file: x\nconnection: d\ntime: 3\nspeed: 2\n"));

    // Past the bound with nothing stale, every latest line is kept.
    LineBacklog small(4);
    small.Push("file", "file: long name\n");
    small.Push("time", "time: 9\n");
    EXPECT_EQ(Drain(small), QByteArray("file: long name\ntime: 9\n"));
}

TEST(LineBacklog, AHalfWrittenLineIsNeverDropped)
{
    LineBacklog backlog(20);
    backlog.Push("time", "time: 1\n");
    backlog.Consume(3);
    backlog.Push("time", "time: 2\n");
    backlog.Push("time", "time: 3\n");
    EXPECT_EQ(Drain(backlog), QByteArray("e: 1\ntime: 3\n"));
}

TEST(StatusOutput, AReaderThatStallsNeverBlocksAndGetsTheLatestState)
{
    ProcessLimits::IgnoreBrokenPipes();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    // A pipe nobody reads, and a terminal whose other side reads nothing.
    for (const auto& [writeEnd, readEnd] : {std::pair{pipeFds[1], pipeFds[0]}, {slave, master}}) {
        {
            StatusOutput output(writeEnd, 4096);
            output.WriteLine("file", "demo.ttyrec");
            // Far more than the descriptor and the bound hold; a blocking write would hang.
            for (int i = 0; i < 100000; ++i) {
                output.WriteLine("time", QByteArray::number(i));
            }
            output.WriteLine("connection", "127.0.0.1,1");
            EXPECT_LE(output.PendingBytes(), 4096u);
            EXPECT_FALSE(output.Closed());
            // Whoever shares the descriptor still gets it as it was.
            EXPECT_EQ(::fcntl(writeEnd, F_GETFL) & O_NONBLOCK, 0);

            QByteArray seen;
            ASSERT_TRUE(QTest::qWaitFor(
                [&] {
                    seen += ReadAvailable(readEnd);
                    return seen.contains("connection: 127.0.0.1,1");
                },
                5000));
            // Whole lines only, the newest time among them.
            const QList<QByteArray> lines = seen.replace("\r\n", "\n").split('\n');
            for (const QByteArray& line : lines.mid(0, lines.size() - 1)) {
                EXPECT_TRUE(line.startsWith("time: ") || line.startsWith("file: ") ||
                            line.startsWith("connection: "))
                    << line.toStdString();
            }
            EXPECT_TRUE(seen.startsWith("file: demo.ttyrec\n"));
            EXPECT_TRUE(seen.contains("time: 99999\n"));
        }
    }
    ::close(master);
    ::close(slave);
    ::close(pipeFds[0]);

    // The reader is gone: the output ends and the writer goes on.
    StatusOutput orphan(pipeFds[1]);
    ::close(pipeFds[1]);
    orphan.WriteLine("time", "1");
    EXPECT_TRUE(orphan.Closed());
}
