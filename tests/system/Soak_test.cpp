// A bounded soak of the real program: ten thousand viewers come and go in bursts while a
// recording plays at speed 100, beside a viewer that never reads, one that resets its
// connection, and one that reads everything. The program must stay up, give back every
// descriptor, keep its memory level, and hand the reading viewer every byte in order.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/Texts.h"
#include "support/Loopback.h"
#include "support/OmbrixProcess.h"
#include "support/ProcessProbe.h"
#include "support/Ttyrec.h"

namespace {

constexpr int kCycles = 10000;
constexpr int kBurst = 50;
// Connections waiting for their greeting at once; the listen backlog is small.
constexpr int kInFlight = 4;
constexpr int kFrames = 900;
const QByteArray kGreeting("\xff\xfb\x01\xff\xfb\x03\xff\xfd\xf3", 9);

// A viewer connected before it returns; -1 when the connection is refused.
int Connect(int port)
{
    UniqueFd fd = ConnectLoopback(port);
    return fd.Valid() ? fd.Release() : -1;
}

void Reset(int fd)
{
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

// Appends what the socket holds, waiting at most waitMs for the first byte; false once the
// peer has closed.
bool ReadAvailable(int fd, QByteArray& into, int waitMs)
{
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, waitMs) <= 0) {
        return true;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            into.append(buffer, got);
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool ReadAtLeast(int fd, QByteArray& into, qsizetype total, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (into.size() < total && clock.elapsed() < timeoutMs) {
        if (!ReadAvailable(fd, into, 20)) {
            break;
        }
    }
    return into.size() >= total;
}

// Open descriptors of the process, leaving out the recording itself: it is open at the start
// and closed at its end, which is playback, not a leak.
int DescriptorCount(pid_t pid, const QString& recording)
{
    QByteArrayList open = OpenDescriptors(pid);
    open.removeAll(QFile::encodeName(recording));
    return static_cast<int>(open.size());
}

std::vector<TestFrame> SoakFrames()
{
    std::vector<TestFrame> frames;
    for (int i = 0; i < kFrames; ++i) {
        QByteArray body = "frame " + QByteArray::number(i) + " ";
        body += QByteArray(16 + (i * 37) % 160, static_cast<char>('a' + i % 26));
        if (i % 7 == 0) {
            body += "\xff\xff x \xff";
        }
        body += "\r\n";
        // Two seconds apart: 20 ms at speed 100, so frames keep going out during the soak.
        frames.push_back({2 * i, 0, body});
    }
    return frames;
}

// One burst: connect kBurst viewers, a few at a time, each until its greeting arrived;
// then close them all at once, every other one with a reset.
bool Burst(int port, QByteArray& readerStream, int readerFd, OmbrixProcess& program)
{
    std::vector<int> open;
    std::vector<int> waiting;
    auto greetOldest = [&] {
        QByteArray got;
        const bool ok =
            ReadAtLeast(waiting.front(), got, kGreeting.size(), 10000) && got.startsWith(kGreeting);
        waiting.erase(waiting.begin());
        // Each newcomer's catch-up prints the elapsed time of every frame it re-reads:
        // reading the status lines keeps the program's standard output from filling up
        // and blocking it. (A zero-length wait for the exit reads what is there.)
        EXPECT_EQ(program.WaitForExit(1), -1);
        return ok;
    };
    bool ok = true;
    for (int i = 0; i < kBurst && ok; ++i) {
        const int fd = Connect(port);
        if (fd < 0) {
            ok = false;
            break;
        }
        open.push_back(fd);
        waiting.push_back(fd);
        if (static_cast<int>(waiting.size()) >= kInFlight) {
            ok = greetOldest();
        }
    }
    while (ok && !waiting.empty()) {
        ok = greetOldest();
    }
    for (size_t i = 0; i < open.size(); ++i) {
        if (i % 2 == 0) {
            ::close(open[i]);
        } else {
            Reset(open[i]);
        }
    }
    ReadAvailable(readerFd, readerStream, 0);
    return ok;
}

}  // namespace

TEST(Soak, TenThousandViewersComeAndGoWhilePlaying_ProgramStaysUpAndExact)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::vector<TestFrame> frames = SoakFrames();
    const QString path = dir.filePath(QStringLiteral("soak.ttyrec"));
    ASSERT_TRUE(WriteFile(path, TtyrecBytes(frames)));
    QByteArray expected = kGreeting;
    for (const TestFrame& frame : frames) {
        expected += NaiveEscape(frame.body);
    }

    // A sanitizer build keeps freed memory in quarantine (256 MB by default), which would
    // hide whether the program's own memory settles; a small one still catches reuse.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions =
        std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=16";
    ::setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);

    const int port = FreePort();
    ASSERT_EQ(::mkdir(QFile::encodeName(dir.filePath(QStringLiteral("runtime"))).constData(), 0700),
              0);
    OmbrixProcess program(dir.filePath(QStringLiteral("runtime")),
                          {QStringLiteral("--port"), QString::number(port), path});
    ASSERT_TRUE(program.WaitForLine(
        QStringLiteral("connection: ") + QString::number(port) + Texts::WaitingSuffix, 10000))
        << program.Output().toStdString() << program.Errors().toStdString();
    const pid_t pid = program.Pid();
    // Start-up may still hold a descriptor or two for a moment; count once it is quiet.
    int descriptorsAtStart = DescriptorCount(pid, path);
    for (int check = 0; check < 20; ++check) {
        EXPECT_EQ(program.WaitForExit(200), -1);
        const int now = DescriptorCount(pid, path);
        if (now == descriptorsAtStart) {
            break;
        }
        descriptorsAtStart = now;
    }
    ASSERT_GT(descriptorsAtStart, 0);

    // The status line comes as the socket starts listening, so the first connection may
    // need a few tries. The reading viewer sets speed 100 (each '+' doubles to 128, which
    // is clamped).
    int reader = Connect(port);
    for (int attempt = 0; reader < 0 && attempt < 100; ++attempt) {
        ::usleep(10000);
        reader = Connect(port);
    }
    ASSERT_GE(reader, 0) << std::strerror(errno) << program.Output().toStdString()
                         << program.Errors().toStdString();
    QByteArray readerStream;
    ASSERT_EQ(::send(reader, "+++++++", 7, MSG_NOSIGNAL), 7);
    ASSERT_TRUE(program.WaitForLine(QStringLiteral("speed: 100"), 10000));

    // A viewer with a tiny window that never reads: the server must queue for it and
    // never wait on it.
    UniqueFd idle = ConnectLoopback(port, {.receiveBufferBytes = 4096});
    ASSERT_TRUE(idle.Valid());

    // A viewer that watches for a while and then resets its connection mid-stream.
    const int resetter = Connect(port);
    ASSERT_GE(resetter, 0);

    QElapsedTimer clock;
    clock.start();
    long warmKb = -1;
    int cycles = 0;
    bool bursts = true;
    while (cycles < kCycles && bursts && clock.elapsed() < 100000) {
        bursts = Burst(port, readerStream, reader, program);
        cycles += kBurst;
        if (cycles == kCycles / 10) {
            warmKb = ResidentKb(pid);
        }
        if (cycles == kCycles / 2) {
            Reset(resetter);
        }
    }
    EXPECT_TRUE(bursts) << "a viewer was not greeted after " << cycles
                        << " cycles: " << program.Errors().toStdString();
    EXPECT_EQ(cycles, kCycles) << "the soak ran out of time";
    ASSERT_EQ(program.WaitForExit(0), -1)
        << "the program ended: " << program.Errors().toStdString();
    const long endKb = ResidentKb(pid);
    // Frames went out while the viewers came and went, and all of them in order.
    EXPECT_GT(readerStream.size(), kGreeting.size() + 1000);
    EXPECT_TRUE(expected.startsWith(readerStream));

    // Skip keys play the rest at once; the reading viewer must then hold the whole stream.
    const QByteArray skips(kFrames, 'x');
    ASSERT_EQ(::send(reader, skips.constData(), skips.size(), MSG_NOSIGNAL), skips.size());
    ASSERT_TRUE(program.WaitForLine(QStringLiteral("file: ") + Texts::EndOfFile, 30000));
    EXPECT_TRUE(ReadAtLeast(reader, readerStream, expected.size(), 30000));
    ReadAvailable(reader, readerStream, 200);
    EXPECT_EQ(readerStream.size(), expected.size());
    EXPECT_TRUE(readerStream == expected) << "the reading viewer's stream differs";

    ::close(reader);
    idle.Close();
    QElapsedTimer settle;
    settle.start();
    int descriptors = DescriptorCount(pid, path);
    while (descriptors != descriptorsAtStart && settle.elapsed() < 10000) {
        ::usleep(20000);
        descriptors = DescriptorCount(pid, path);
    }
    EXPECT_EQ(descriptors, descriptorsAtStart);

    // Generous: what matters is that ten thousand connections leave nothing behind.
    ASSERT_GT(warmKb, 0);
    EXPECT_LT(endKb - warmKb, 32 * 1024) << "warm " << warmKb << " KB, end " << endKb << " KB";
    std::cerr << "soak: " << cycles << " cycles in " << clock.elapsed() << " ms; RSS warm "
              << warmKb << " KB, end " << endKb << " KB; descriptors " << descriptorsAtStart
              << "\n";

    EXPECT_EQ(program.Stop(), 0);
    EXPECT_FALSE(program.Errors().contains(QStringLiteral("Sanitizer")))
        << program.Errors().toStdString();
}
