#include "playback/CatchUpReader.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "support/Ttyrec.h"

namespace {

// Everything a reader over the file gives before the pending frame ending at pendingEnd.
QByteArray PastFrames(const QByteArray& recording, int64_t pendingEnd)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r"));
    WriteFile(path, recording);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    CatchUpReader reader(file.handle(), pendingEnd);
    QByteArray out;
    while (reader.AppendNextFrame(out)) {
    }
    return out;
}

TEST(CatchUpReader, SendsEveryFrameBeforeThePendingOneEscaped)
{
    const QByteArray a = TtyrecBytes({{1, 0, "a\xff"}});
    const QByteArray empty = TtyrecBytes({{2, 0, ""}});
    const QByteArray b = TtyrecBytes({{3, 0, "bb"}});
    const QByteArray pending = TtyrecBytes({{4, 0, "pending"}});
    const QByteArray after = TtyrecBytes({{5, 0, "after"}});
    const QByteArray recording = a + empty + b + pending + after;
    const int64_t pendingEnd = a.size() + empty.size() + b.size() + pending.size();

    EXPECT_EQ(PastFrames(recording, pendingEnd), QByteArray("a\xff\xff"
                                                            "bb"));
    // The first frame pending: nothing before it.
    EXPECT_EQ(PastFrames(recording, a.size()), QByteArray());
    EXPECT_EQ(PastFrames(recording, 0), QByteArray());
}

TEST(CatchUpReader, StopsAtAPendingBodyCutShortAndAtACorruptLength)
{
    const QByteArray a = TtyrecBytes({{1, 0, "first"}});
    // A last frame whose body the file cut short: the player's position is the end of
    // the file, short of what the header promises.
    const QByteArray cut = TtyrecHeader(2, 0, 100) + "part";
    EXPECT_EQ(PastFrames(a + cut, a.size() + cut.size()), QByteArray("first"));

    const QByteArray corrupt = TtyrecHeader(2, 0, -7) + "zzzz";
    EXPECT_EQ(PastFrames(a + corrupt + a, a.size() * 2 + corrupt.size()), QByteArray("first"));
}

TEST(CatchUpReader, ReadsAcrossItsBlockBorders)
{
    // Frames straddle the reader's 1 MiB blocks.
    std::vector<TestFrame> frames;
    QByteArray expected;
    for (int i = 0; i < 700; ++i) {
        QByteArray body(3001 + i, static_cast<char>('a' + i % 26));
        body[i] = '\xff';
        frames.push_back({i, 0, body});
        expected += NaiveEscape(body);
    }
    frames.push_back({999, 0, "pending"});
    const QByteArray recording = TtyrecBytes(frames);
    EXPECT_TRUE(PastFrames(recording, recording.size()) == expected);
}

}  // namespace
