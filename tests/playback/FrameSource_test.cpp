// A ttyrec file as a frame source: the player's reading and the independent catch-up
// cursors, which see exactly the frames the player saw.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "playback/FrameSource.h"
#include "support/Ttyrec.h"

namespace {

struct SourceFixture
{
    std::unique_ptr<FrameSource> Open(const QByteArray& bytes)
    {
        const QString path = dir.filePath(QStringLiteral("r"));
        EXPECT_TRUE(WriteFile(path, bytes));
        return OpenFrameSource(QFile::encodeName(path));
    }
    QTemporaryDir dir;
};

// Reads up to count frames; returns their bodies, concatenated, and the last status.
QByteArray ReadFrames(FrameCursor& cursor, int count, io::FrameReadStatus* last = nullptr)
{
    QByteArray all;
    io::FrameHeader header;
    QByteArray body;
    io::FrameReadStatus status = io::FrameReadStatus::Frame;
    for (int i = 0; i < count && status == io::FrameReadStatus::Frame; ++i) {
        status = cursor.Next(header, body);
        all += body;
    }
    if (last != nullptr) {
        *last = status;
    }
    return all;
}

TEST(FrameSource, CatchUpCursorReadsFromTheStartWithoutMovingThePlayer)
{
    SourceFixture fixture;
    std::unique_ptr<FrameSource> source =
        fixture.Open(TtyrecBytes({{1, 0, "a\xff"}, {2, 0, ""}, {3, 0, "bb"}, {4, 0, "cc"}}));
    ASSERT_TRUE(source);
    EXPECT_EQ(ReadFrames(*source, 2), QByteArray("a\xff"));

    std::unique_ptr<FrameCursor> cursor = source->NewCatchUpCursor();
    ASSERT_TRUE(cursor);
    EXPECT_EQ(ReadFrames(*cursor, 3), QByteArray("a\xff"
                                                 "bb"));
    // The player goes on where it stood.
    EXPECT_EQ(ReadFrames(*source, 1), QByteArray("bb"));
    // The cursor outlives the source, and lets go of its read-ahead while it waits.
    source.reset();
    cursor->ReleaseBuffers();
    io::FrameReadStatus last;
    EXPECT_EQ(ReadFrames(*cursor, 5, &last), QByteArray("cc"));
    EXPECT_EQ(last, io::FrameReadStatus::EndOfFile);
}

TEST(FrameSource, CatchUpCursorSeesTheCutShortLastBodyThePlayerSaw)
{
    SourceFixture fixture;
    const QByteArray bytes = TtyrecBytes({{1, 0, "first"}}) + TtyrecHeader(2, 0, 100) + "part";
    std::unique_ptr<FrameSource> source = fixture.Open(bytes);
    ASSERT_TRUE(source);
    io::FrameReadStatus last;
    EXPECT_EQ(ReadFrames(*source, 5, &last), QByteArray("firstpart"));
    EXPECT_EQ(last, io::FrameReadStatus::EndOfFile);
    std::unique_ptr<FrameCursor> cursor = source->NewCatchUpCursor();
    ASSERT_TRUE(cursor);
    EXPECT_EQ(ReadFrames(*cursor, 2), QByteArray("firstpart"));
}

TEST(FrameSource, CatchUpCursorReadsAcrossItsBlockBorders)
{
    // Frames straddle the cursor's read-ahead blocks.
    std::vector<TestFrame> frames;
    QByteArray expected;
    for (int i = 0; i < 700; ++i) {
        QByteArray body(3001 + i, static_cast<char>('a' + i % 26));
        body[i] = '\xff';
        frames.push_back({i, 0, body});
        expected += body;
    }
    SourceFixture fixture;
    std::unique_ptr<FrameSource> source = fixture.Open(TtyrecBytes(frames));
    ASSERT_TRUE(source);
    std::unique_ptr<FrameCursor> cursor = source->NewCatchUpCursor();
    ASSERT_TRUE(cursor);
    EXPECT_TRUE(ReadFrames(*cursor, 700) == expected);
}

}  // namespace
