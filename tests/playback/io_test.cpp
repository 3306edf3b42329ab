#include "playback/io.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <future>

#include "support/Ttyrec.h"

namespace {

struct MemoryStream
{
    explicit MemoryStream(QByteArray bytes)
        : data(std::move(bytes)),
          file(fmemopen(data.isEmpty() ? dummy : data.data(), static_cast<size_t>(data.size()),
                        "rb"))
    {
    }
    ~MemoryStream() { std::fclose(file); }
    QByteArray data;
    char dummy[1] = {0};
    std::FILE* file;
};

TEST(ByteOrder, HostAndConversion)
{
    EXPECT_EQ(io::HostIsLittleEndian(), 1);  // x86-64, the only host the delays allow
    EXPECT_EQ(io::HostIsLittleEndian(), 1);  // the cached answer
    EXPECT_EQ(io::LittleEndianToHost32(0x12345678u), 0x12345678u);
}

TEST(ReadFrameHeader, WholeCutAndEmpty)
{
    io::FrameHeader header;
    {
        MemoryStream stream(TtyrecHeader(-3, 999999, 70000) + "x");
        EXPECT_EQ(io::ReadFrameHeader(stream.file, header), 1);
        EXPECT_EQ(header.time.seconds, -3);
        EXPECT_EQ(header.time.microseconds, 999999);
        EXPECT_EQ(header.length, 70000);
    }
    {
        // 1 to 3 bytes into a header: the end of the file.
        MemoryStream stream(TtyrecHeader(1, 2, 3).left(2));
        EXPECT_EQ(io::ReadFrameHeaderFields(stream.file, header), 0);
    }
    {
        // 4 to 11 bytes: a header is reported, with the fields not read as 0.
        MemoryStream stream(TtyrecHeader(7, 8, 9).left(7));
        EXPECT_EQ(io::ReadFrameHeaderFields(stream.file, header), 1);
        EXPECT_EQ(header.time.seconds, 7);
        EXPECT_EQ(header.time.microseconds, 0);
        EXPECT_EQ(header.length, 0);
    }
    {
        MemoryStream stream(TtyrecHeader(7, 8, 9).left(11));
        EXPECT_EQ(io::ReadFrameHeader(stream.file, header), 1);
        EXPECT_EQ(header.time.microseconds, 8);
        EXPECT_EQ(header.length, 0);
    }
    {
        MemoryStream stream{QByteArray()};
        EXPECT_EQ(io::ReadFrameHeader(stream.file, header), 0);
    }
}

TEST(OpenFileOrReport, MissingFileAndFolderFail)
{
    QTemporaryDir dir;
    EXPECT_EQ(io::OpenFileOrReport(QFile::encodeName(dir.filePath("missing")), "rb"), nullptr);
    EXPECT_EQ(io::OpenFileOrReport(QFile::encodeName(dir.path()), "rb"), nullptr);
    EXPECT_EQ(io::OpenFileOrReport(QByteArray(), "rb"), nullptr);
    ASSERT_TRUE(WriteFile(dir.filePath("present"), "abc"));
    const io::FilePtr present =
        io::OpenFileOrReport(QFile::encodeName(dir.filePath("present")), "rb");
    ASSERT_NE(present, nullptr);
    // A program the player starts must not inherit the recording; and reads block again.
    EXPECT_EQ(::fcntl(fileno(present.get()), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(::fcntl(fileno(present.get()), F_GETFL) & O_NONBLOCK, 0);
    char bytes[4] = {};
    EXPECT_EQ(std::fread(bytes, 1, 4, present.get()), 3u);
}

TEST(OpenFileOrReport, FifoAndDeviceAreRefusedWithoutWaiting)
{
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath("fifo"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    // Run apart, so a blocking open shows as a failure instead of hanging the suite.
    auto opened =
        std::async(std::launch::async, [&] { return io::OpenFileOrReport(fifo, "rb") == nullptr; });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);  // let it go
        opened.wait();
        ::close(writer);
        FAIL() << "opening a FIFO waited for a writer";
    }
    EXPECT_TRUE(opened.get());
    EXPECT_EQ(io::OpenFileOrReport("/dev/zero", "rb"), nullptr);
}

TEST(FrameTimeDiff, BorrowsOnce)
{
    EXPECT_EQ(io::FrameTimeDiff({10, 900000}, {11, 100000}), (io::FrameTime{0, 200000}));
    EXPECT_EQ(io::FrameTimeDiff({5, 0}, {4, 500000}), (io::FrameTime{-1, 500000}));
    // A microseconds field out of range carries through unchanged.
    EXPECT_EQ(io::FrameTimeDiff({0, 0}, {1, 2500000}), (io::FrameTime{1, 2500000}));
}

struct WorkedRow
{
    io::FrameTime previous;
    io::FrameTime current;
    int speed;
    io::FrameTime q1;
    uint32_t interval;
};

TEST(FrameTimeDivide, WorkedResults)
{
    const WorkedRow rows[] = {
        {{0, 0}, {2, 500000}, 1, {2, 500000}, 2500},
        {{0, 0}, {1, 0}, 1, {1, 0}, 1000},
        {{0, 0}, {0, 500000}, 1, {0, 500000}, 500},
        {{0, 0}, {0, 300000}, 1, {0, 299999}, 299},
        {{10, 900000}, {11, 100000}, 1, {0, 200000}, 200},
        {{0, 0}, {60, 0}, 1, {60, 0}, 59999},
        {{0, 0}, {3, 0}, 2, {1, 500000}, 1500},
        {{0, 0}, {1, 0}, 3, {0, 333333}, 333},
        {{0, 0}, {1, 0}, 100, {0, 10000}, 10},
        {{0, 0}, {0, 10000}, 100, {0, 100}, 1},
        {{0, 0}, {0, 1000}, 1, {0, 1000}, 1},
        {{7, 7}, {7, 7}, 1, {0, 0}, 1},
        {{7, 7}, {7, 7}, 50, {0, 0}, 1},
        // Mended: the whole quotient counts from 1000 s on ...
        {{0, 0}, {1000, 0}, 1, {1000, 0}, 1000000},
        {{0, 0}, {1500, 0}, 1, {1500, 0}, 1500000},
        // ... and a frame stamped before the one before it goes out after 1 ms.
        {{5, 0}, {4, 500000}, 1, {0, -500000}, 1},
    };
    for (const WorkedRow& row : rows) {
        const io::FrameTime gap = io::FrameTimeDiff(row.previous, row.current);
        const io::FrameTime q1 = io::FrameTimeDivide(gap, row.speed);
        EXPECT_EQ(q1, row.q1) << row.current.seconds << "." << row.current.microseconds << " / "
                              << row.speed;
        EXPECT_EQ(io::FrameDelayMilliseconds(gap, row.speed), row.interval)
            << row.current.seconds << "." << row.current.microseconds << " / " << row.speed;
    }
}

TEST(FrameDelayMilliseconds, CappedAtTheTimersLimit)
{
    EXPECT_EQ(io::FrameDelayMilliseconds({2000000000, 0}, 1), io::kMaxDelayMilliseconds);
    EXPECT_EQ(io::FrameDelayMilliseconds({2000000, 0}, 1), 2000000000u);
    EXPECT_EQ(io::FrameDelayMilliseconds({-2000000000, 0}, 1), 1u);
}

TEST(FrameDelay, ExactQuotientWhereTheIntervalTruncates)
{
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    // Where the interval loses a millisecond, the delay keeps it.
    EXPECT_EQ(io::FrameDelay({0, 300000}, 1), milliseconds(300));
    EXPECT_EQ(io::FrameDelay({0, 2000}, 1), milliseconds(2));
    EXPECT_EQ(io::FrameDelay({60, 0}, 1), milliseconds(60000));
    EXPECT_EQ(io::FrameDelay({1, 0}, 3), nanoseconds(333333333));
    // Below a millisecond it is the quotient itself, not the interval's 1 ms.
    EXPECT_EQ(io::FrameDelay({0, 10000}, 100), microseconds(100));
    // Equal and backwards timestamps wait 1 ms, as the interval does.
    EXPECT_EQ(io::FrameDelay({0, 0}, 7), milliseconds(1));
    EXPECT_EQ(io::FrameDelay(io::FrameTimeDiff({5, 0}, {4, 500000}), 1), milliseconds(1));
    EXPECT_EQ(io::FrameDelay({-2000000000, 0}, 1), milliseconds(1));
    EXPECT_EQ(io::FrameDelay({2000000000, 0}, 1), milliseconds(io::kMaxDelayMilliseconds));
    EXPECT_EQ(io::FrameDelay({1500, 0}, 1), milliseconds(1500000));
}

}  // namespace
