// What a relay holds of the leader's recording: broadcasts in order, duplicates and gaps
// told apart, a ceiling, and cursors that newcomers read while it grows.
#include "relay/RelayedRecording.h"

#include <gtest/gtest.h>

#include "relay/ViewerTally.h"

namespace {

using Arrival = RelayedRecording::Arrival;

QByteArray ReadAll(FrameCursor& cursor)
{
    QByteArray all;
    io::FrameHeader header;
    QByteArray body;
    while (cursor.Next(header, body) == io::FrameReadStatus::Frame) {
        EXPECT_EQ(header.length, body.size());
        all += body;
    }
    return all;
}

TEST(RelayedRecording, BroadcastsArePlacedByNumber)
{
    RelayedRecording recording(1024);
    EXPECT_EQ(recording.Add(0, "a"), Arrival::Appended);
    EXPECT_EQ(recording.Add(1, "b"), Arrival::Appended);
    EXPECT_EQ(recording.Add(1, "b"), Arrival::Duplicate);
    EXPECT_EQ(recording.Add(3, "d"), Arrival::Gap);
    EXPECT_EQ(recording.NextSeq(), 2U);
    recording.Accept(3, "d");  // the stream no longer has 2
    EXPECT_EQ(recording.NextSeq(), 4U);
    EXPECT_EQ(recording.Count(), 3);

    // A cursor sees what is added after it was made; one from before a new recording keeps
    // reading the old one.
    std::unique_ptr<FrameCursor> cursor = recording.NewCursor();
    EXPECT_EQ(ReadAll(*cursor), "abd");
    EXPECT_EQ(recording.Add(4, "e"), Arrival::Appended);
    EXPECT_EQ(ReadAll(*cursor), "e");
    std::unique_ptr<FrameCursor> old = recording.NewCursor();
    recording.Start();
    EXPECT_EQ(recording.Count(), 0);
    EXPECT_EQ(recording.Add(0, "new"), Arrival::Appended);
    EXPECT_EQ(ReadAll(*old), "abde");
    EXPECT_EQ(ReadAll(*recording.NewCursor()), "new");
}

TEST(RelayedRecording, PastTheCeilingTheOldestGoAndCursorsSkipThem)
{
    RelayedRecording recording(10);
    std::unique_ptr<FrameCursor> early = recording.NewCursor();
    for (uint64_t i = 0; i < 5; ++i) {
        recording.Add(i, QByteArray(4, static_cast<char>('0' + i)));
    }
    EXPECT_EQ(recording.HeldBytes(), 8);
    EXPECT_EQ(recording.Count(), 5);
    EXPECT_EQ(ReadAll(*early), "33334444");
    // One broadcast larger than the ceiling is still held, alone.
    recording.Add(5, QByteArray(20, 'x'));
    EXPECT_EQ(ReadAll(*recording.NewCursor()), QByteArray(20, 'x'));
}

TEST(ViewerTally, ReportsAddUpAndExpire)
{
    using namespace std::chrono;
    const ViewerTally::Clock::time_point start{};
    ViewerTally tally(seconds(3));
    EXPECT_TRUE(tally.Report("a", 5, start));
    EXPECT_TRUE(tally.Report("b", 7, start + seconds(2)));
    EXPECT_FALSE(tally.Report("a", 5, start + seconds(2)));  // refreshed, same count
    EXPECT_EQ(tally.Total(), 12);
    EXPECT_FALSE(tally.Expire(start + seconds(4)));
    EXPECT_TRUE(tally.Expire(start + seconds(6)));  // both silent for over 3 s
    EXPECT_EQ(tally.Total(), 0);
    for (size_t i = 0; i < ViewerTally::kMaxRelays; ++i) {
        tally.Report(QByteArray::number(static_cast<qulonglong>(i)), 1, start);
    }
    EXPECT_FALSE(tally.Report("one too many", 1000, start));
    EXPECT_EQ(tally.Total(), static_cast<int64_t>(ViewerTally::kMaxRelays));
}

}  // namespace
