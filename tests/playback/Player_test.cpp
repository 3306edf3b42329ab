// The player on its own: opening, reading, pacing and the late-tick batch, against a fake
// timer and an in-memory recording.
#include "playback/Player.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "common/Texts.h"
#include "playback/GrowingSource.h"
#include "playback/ResetFirstSource.h"
#include "support/FrameReading.h"
#include "support/PlaybackFakes.h"
#include "support/Ttyrec.h"

namespace {

// Frames one second apart, each body naming its number.
QByteArray SecondApartRecording(int count)
{
    std::vector<TestFrame> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back({100 + i, 0, QByteArray("frame") + QByteArray::number(i) + ";"});
    }
    return TtyrecBytes(frames);
}

struct PlayerFixture
{
    PlayerFixture() { player.SetOutput(&output); }
    bool Open(const QByteArray& bytes, const QString& name = QStringLiteral("r"))
    {
        return player.Open(std::make_unique<MemorySource>(bytes), name);
    }
    // Reads frames until the recording closes; returns the frames read.
    std::vector<QByteArray> ReadAll()
    {
        std::vector<QByteArray> frames;
        while (player.Source() != nullptr) {
            frames.push_back(*player.FrameBuffer());
            player.ReadNextFrame(false);
        }
        return frames;
    }

    FakeTimer timer;
    FakeSpeed speed;
    FakeStatus status;
    FakeOutput output;
    Player player{timer, speed, status};
};

TEST(Player, OpeningWaitsOnTheFirstFrameAndFailingLeavesSpeedAndTimerAlone)
{
    PlayerFixture f;
    f.speed.speed = 8;
    f.timer.interval = 250;
    ASSERT_TRUE(f.Open(SecondApartRecording(3), QStringLiteral("demo.ttyrec")));
    EXPECT_EQ(f.status.file, QStringLiteral("demo.ttyrec"));
    EXPECT_EQ(f.status.time, QStringLiteral("0秒"));
    EXPECT_EQ(f.speed.speed, 1);
    EXPECT_EQ(f.timer.interval, 100u);
    EXPECT_FALSE(f.timer.enabled);  // no viewer
    EXPECT_EQ(*f.player.FrameBuffer(), QByteArray("frame0;"));
    EXPECT_EQ(f.output.recordingChanges, 1);

    f.speed.speed = 4;
    f.timer.interval = 250;
    EXPECT_FALSE(f.Open(QByteArray()));
    EXPECT_EQ(f.speed.speed, 4);
    EXPECT_EQ(f.timer.interval, 250u);
    EXPECT_EQ(f.status.file, Texts::EndOfFile);
    EXPECT_EQ(f.player.Source(), nullptr);
}

TEST(Player, TickSendsThePendingFrameAndArmsTheNextDelay)
{
    PlayerFixture f;
    f.timer.interval = 500;
    f.player.TimerTimer();  // nothing open: it only disables the timer
    EXPECT_EQ(f.timer.interval, 0u);
    EXPECT_FALSE(f.timer.enabled);

    ASSERT_TRUE(f.Open(SecondApartRecording(4)));
    f.player.TimerTimer();  // no viewer: the pending frame stays
    EXPECT_EQ(*f.player.FrameBuffer(), QByteArray("frame0;"));
    EXPECT_TRUE(f.output.broadcasts.empty());

    f.output.viewers = true;
    EXPECT_TRUE(f.player.UpdateTimerEnabled());
    f.player.TimerTimer();
    EXPECT_EQ(f.output.All(), QByteArray("frame0;"));
    EXPECT_EQ(f.timer.interval, 1000u);
    EXPECT_EQ(f.player.FramesPlayed(), 1);
    // A speed change while a delay is armed changes only the next delay.
    f.speed.speed = 10;
    EXPECT_EQ(f.timer.interval, 1000u);
    f.player.TimerTimer();
    EXPECT_EQ(f.timer.interval, 100u);
    EXPECT_EQ(f.status.time, QStringLiteral("2秒"));
}

TEST(Player, EndOfFileStopsWithTheLastTimeShownAndEveryFramePlayed)
{
    PlayerFixture f;
    f.output.viewers = true;
    ASSERT_TRUE(f.Open(TtyrecBytes({{10, 0, "a"}, {12, 0, ""}, {15, 0, "b"}})));
    f.player.TimerTimer();
    EXPECT_EQ(f.timer.interval, 2000u);
    EXPECT_EQ(f.status.time, QStringLiteral("2秒"));
    f.player.TimerTimer();  // a zero-length frame: nothing sent, but its time counts
    EXPECT_EQ(f.timer.interval, 3000u);
    EXPECT_EQ(f.output.broadcasts.size(), 1u);
    f.player.TimerTimer();  // sends the last frame, meets the end
    EXPECT_EQ(f.status.file, Texts::EndOfFile);
    EXPECT_EQ(f.status.time, QStringLiteral("5秒"));
    EXPECT_EQ(f.timer.interval, 0u);
    EXPECT_EQ(f.output.All(), QByteArray("ab"));
    EXPECT_EQ(f.player.Source(), nullptr);
    // A catch-up after the end may read every frame the viewers were sent.
    EXPECT_EQ(f.player.FramesPlayed(), 3);
}

TEST(Player, ALateTickTakesTheFramesThatFellDueWithIt)
{
    PlayerFixture f;
    f.output.viewers = true;
    std::vector<TestFrame> frames;
    for (int i = 0; i < 6; ++i) {
        frames.push_back({0, i * 10000, "<" + QByteArray::number(i) + ">"});
    }
    ASSERT_TRUE(f.Open(TtyrecBytes(frames)));
    f.timer.overdueTicks = 3;
    f.player.TimerTimer();
    // One send for the frame due and the three that fell due meanwhile.
    ASSERT_EQ(f.output.broadcasts.size(), 1u);
    EXPECT_EQ(f.output.broadcasts[0], QByteArray("<0><1><2><3>"));
    EXPECT_EQ(f.player.FramesPlayed(), 4);
    EXPECT_EQ(*f.player.FrameBuffer(), QByteArray("<4>"));
    EXPECT_EQ(f.timer.interval, 10u);
}

TEST(Player, ReadsEveryFrameAsRecordedThenEndOfFile)
{
    PlayerFixture f;
    const std::vector<TestFrame> frames = {
        {1, 0, "hello"}, {1, 500, ""}, {2, 0, QByteArray("\xff\x00\xff", 3)}, {3, 0, "bye"}};
    ASSERT_TRUE(f.Open(TtyrecBytes(frames)));
    const std::vector<QByteArray> read = f.ReadAll();
    ASSERT_EQ(read.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(read[i], frames[i].body) << "frame " << i;
    }
    EXPECT_EQ(f.status.file, Texts::EndOfFile);
    EXPECT_FALSE(f.player.FrameBuffer().has_value());
}

TEST(Player, FailureTexts)
{
    struct Case
    {
        const char* name;
        QByteArray bytes;
        QString text;
    };
    const Case cases[] = {
        {"empty", QByteArray(), Texts::EndOfFile},
        {"header cut at 2", TtyrecHeader(1, 2, 3).left(2), Texts::EndOfFile},
        {"header cut at 7", TtyrecHeader(1, 2, 3).left(7), "0" + Texts::ReadFailedSuffix},
        {"header cut at 11", TtyrecHeader(1, 2, 3).left(11), "0" + Texts::ReadFailedSuffix},
        {"no body", TtyrecHeader(1, 2, 4096), "4096" + Texts::ReadFailedSuffix},
        {"over the bound", TtyrecHeader(1, 2, 16777217) + "x",
         "16777217" + Texts::AllocationFailedSuffix},
        {"negative", TtyrecHeader(1, 2, -5) + "x", "-5" + Texts::AllocationFailedSuffix},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        PlayerFixture f;
        const QString path = dir.filePath(QStringLiteral("r"));
        ASSERT_TRUE(WriteFile(path, c.bytes));
        EXPECT_FALSE(f.player.Open(QFile::encodeName(path))) << c.name;
        EXPECT_EQ(f.status.file, c.text) << c.name;
        EXPECT_EQ(f.player.Source(), nullptr) << c.name;
        EXPECT_FALSE(f.player.FrameBuffer().has_value()) << c.name;
    }
    PlayerFixture f;
    EXPECT_FALSE(f.player.Open(QFile::encodeName(dir.filePath(QStringLiteral("missing")))));
    EXPECT_EQ(f.status.file, Texts::OpenFailed);
    f.status.file.clear();
    EXPECT_FALSE(f.player.Open(QFile::encodeName(dir.path())));
    EXPECT_EQ(f.status.file, Texts::OpenFailed);
    EXPECT_EQ(f.output.recordingChanges, 2);
}

TEST(Player, LargestFrameIsAcceptedAndABodyCutShortKeepsWhatWasRead)
{
    PlayerFixture f;
    const QByteArray largest(io::kMaxFrameLength, 'x');
    QByteArray bytes = TtyrecBytes({{0, 0, largest}});
    bytes += TtyrecHeader(1, 0, io::kMaxFrameLength + 1) + "y";
    ASSERT_TRUE(f.Open(bytes));
    EXPECT_EQ(f.player.FrameBuffer()->size(), io::kMaxFrameLength);
    f.player.ReadNextFrame(false);
    EXPECT_EQ(f.status.file,
              QString::number(io::kMaxFrameLength + 1) + Texts::AllocationFailedSuffix);

    bytes = TtyrecBytes({{0, 0, "first"}}) + TtyrecHeader(1, 0, 10) + QByteArray("ab\xff", 3);
    ASSERT_TRUE(f.Open(bytes));
    f.player.ReadNextFrame(false);
    ASSERT_TRUE(f.player.FrameBuffer().has_value());
    EXPECT_EQ(*f.player.FrameBuffer(), QByteArray("ab\xff", 3));
    EXPECT_EQ(f.player.FrameHeader().length, 3);
    f.player.ReadNextFrame(false);
    EXPECT_EQ(f.status.file, Texts::EndOfFile);
}

TEST(Player, OpeningAgainStartsTheNewRecordingAfresh)
{
    PlayerFixture f;
    f.output.viewers = true;
    ASSERT_TRUE(f.Open(TtyrecBytes({{0, 0, "1"}, {1, 0, "2"}})));
    f.player.TimerTimer();
    ASSERT_TRUE(f.Open(TtyrecBytes({{5, 0, "A"}}), QStringLiteral("two")));
    EXPECT_EQ(*f.player.FrameBuffer(), QByteArray("A"));
    EXPECT_EQ(f.status.file, QStringLiteral("two"));
    EXPECT_EQ(f.status.time, QStringLiteral("0秒"));
    EXPECT_EQ(f.player.FramesPlayed(), 0);
    EXPECT_EQ(f.output.recordingChanges, 2);
}

TEST(Player, IdleLimitShortensLongGapsBeforeTheSpeedDividesThem)
{
    PlayerFixture f;
    f.output.viewers = true;
    auto source = std::make_unique<MemorySource>(
        TtyrecBytes({{0, 0, "a"}, {0, 500000, "b"}, {100, 0, "c"}, {300, 0, "d"}}));
    MemorySource* raw = source.get();
    f.player.SetIdleLimit(2.5);
    ASSERT_TRUE(f.player.Open(std::move(source), QStringLiteral("r")));
    f.player.TimerTimer();
    EXPECT_EQ(f.timer.interval, 500u);  // shorter than the limit: in full
    f.speed.speed = 2;
    f.player.TimerTimer();
    EXPECT_EQ(f.timer.interval, 1250u);  // 99.5 s counts as 2.5 s, then halved
    raw->idleTimeLimit = 1.0;            // the recording's own, shorter limit wins
    f.player.TimerTimer();
    EXPECT_EQ(f.timer.interval, 500u);
    EXPECT_EQ(f.status.time, QStringLiteral("300秒"));  // the clock itself is not shortened
}

TEST(Player, FramesFallDueOnTheRecordingsOwnClock)
{
    using std::chrono::nanoseconds;
    // A realistic recording of 200 gaps from 5 to 900 ms, and 1000 gaps of 2 ms: the
    // whole-millisecond intervals would lose about 100 ms on the one and half of the other.
    const int gapsMs[] = {5, 7, 10, 15, 20, 33, 50, 75, 100, 150, 250, 300, 400, 600, 900};
    std::vector<TestFrame> realistic;
    std::vector<TestFrame> even;
    int64_t micros = 0;
    for (int i = 0; i < 201; ++i) {
        micros += i == 0 ? 0 : gapsMs[(i * 7) % std::size(gapsMs)] * 1000;
        realistic.push_back(
            {static_cast<int32_t>(micros / 1000000), static_cast<int32_t>(micros % 1000000), "r"});
    }
    for (int i = 0; i < 1001; ++i) {
        even.push_back({0, i * 2000, "e"});
    }
    for (const auto& [frames, speed] :
         {std::pair{realistic, 1}, std::pair{realistic, 3}, std::pair{even, 1}}) {
        PlayerFixture f;
        f.output.viewers = true;
        ASSERT_TRUE(f.Open(TtyrecBytes(frames)));
        f.speed.speed = speed;
        const auto timeOf = [](const TestFrame& frame) {
            return io::FrameTime{frame.seconds, frame.microseconds};
        };
        nanoseconds waited{0};
        for (size_t i = 1; i < frames.size(); ++i) {
            f.player.TimerTimer();
            waited += f.timer.delay;
            // The interval still reports whole, truncated milliseconds.
            const io::FrameTime gap = io::FrameTimeDiff(timeOf(frames[i - 1]), timeOf(frames[i]));
            ASSERT_EQ(f.timer.interval, io::FrameDelayMilliseconds(gap, speed)) << i;
        }
        const io::FrameTime span = io::FrameTimeDiff(timeOf(frames.front()), timeOf(frames.back()));
        const nanoseconds exact((int64_t{span.seconds} * 1000000 + span.microseconds) * 1000 /
                                speed);
        EXPECT_LT(std::chrono::abs(waited - exact), std::chrono::microseconds(1))
            << frames.size() << " frames at speed " << speed << ": " << (waited - exact).count()
            << " ns";
    }
}

// A player handed a playlist of files written for the test.
struct ListFixture : PlayerFixture
{
    // Each recording as (name, bytes); a null body names a file that is not there.
    ListFixture(const std::vector<std::pair<QString, QByteArray>>& recordings, bool loop)
        : list(Paths(recordings), Playlist::Kind::List, loop)
    {
        player.SetPlaylist(&list);
        player.SetGap(3);
        output.viewers = true;
    }
    QByteArrayList Paths(const std::vector<std::pair<QString, QByteArray>>& recordings)
    {
        QByteArrayList paths;
        for (const auto& [name, bytes] : recordings) {
            paths.append(QFile::encodeName(bytes.isNull() ? folder.FilePath(name)
                                                          : folder.Write(name, bytes)));
        }
        return paths;
    }
    RecordingFolder folder;
    Playlist list;
};

TEST(Player, TheNextRecordingWaitsTheGapThenStartsWithAResetForEveryone)
{
    ListFixture f(
        {{"a", TtyrecBytes({{10, 0, "a0"}, {11, 0, "a1"}})}, {"b", TtyrecBytes({{50, 0, "b0"}})}},
        false);
    f.player.StartPlaylist();
    EXPECT_EQ(f.status.file, QStringLiteral("a (1/2)"));
    f.speed.speed = 2;  // the speed set while a list plays stays for the rest of it
    f.player.TimerTimer();
    f.player.TimerTimer();
    EXPECT_TRUE(f.player.BetweenRecordings());
    EXPECT_EQ(f.timer.delay, std::chrono::milliseconds(1500));  // the 3 s gap, halved
    // Like any gap, it passes only while someone watches.
    f.output.viewers = false;
    f.player.TimerTimer();
    EXPECT_FALSE(f.timer.enabled);
    EXPECT_TRUE(f.player.BetweenRecordings());
    f.output.viewers = true;

    // A newcomer during the gap still catches up on the recording that ended.
    std::unique_ptr<FrameCursor> during = f.player.NewCatchUpCursor();
    ASSERT_NE(during, nullptr);
    EXPECT_EQ(ReadAll(*during).frames.size(), 2u);

    f.player.TimerTimer();
    EXPECT_EQ(f.status.file, QStringLiteral("b (2/2)"));
    EXPECT_EQ(f.output.broadcasts, (std::vector<QByteArray>{"a0", "a1", kTerminalReset}));
    EXPECT_EQ(f.timer.interval, 1u);  // the first frame goes right after its reset
    EXPECT_EQ(f.speed.speed, 2);
    f.player.TimerTimer();
    EXPECT_EQ(f.output.All(), QByteArray("a0a1\x1b"
                                         "cb0"));
    EXPECT_EQ(f.status.files,
              QStringList({"a (1/2)", Texts::EndOfFile, "b (2/2)", Texts::EndOfFile}));
    EXPECT_EQ(f.player.Source(), nullptr);  // no loop: the list ends as one recording does
    EXPECT_FALSE(f.player.BetweenRecordings());
}

TEST(Player, BadEntriesShowTheirFailureAndTheNextFollowsAfterTheGap)
{
    const QByteArray good = TtyrecBytes({{1, 0, "ok"}});
    ListFixture f({{"good", good},
                   {"missing", QByteArray()},
                   {"README", "Recordings of the night.\n"},
                   {"cut", good + TtyrecHeader(2, 0, 9).left(7)}},
                  true);
    f.player.StartPlaylist();
    f.player.TimerTimer();  // "ok", then the end and the gap
    QStringList shown;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 6; ++i) {
        f.player.TimerTimer();
        shown.append(f.status.file);
    }
    // One line for each failure, naming the file.
    const QString errors = QString::fromStdString(testing::internal::GetCapturedStderr());
    EXPECT_EQ(errors.count(u'\n'), 3) << errors.toStdString();
    EXPECT_TRUE(errors.contains(f.folder.FilePath(QStringLiteral("cut")) + QStringLiteral(": 0") +
                                Texts::ReadFailedSuffix));
    // Each failure waits the gap before the next; the one cut short has played, so the
    // loop goes on to the good one again.
    EXPECT_EQ(shown, QStringList({Texts::OpenFailed, "1864397671" + Texts::AllocationFailedSuffix,
                                  "cut (4/4)", "0" + Texts::ReadFailedSuffix, "good (1/4)",
                                  Texts::EndOfFile}));
    EXPECT_TRUE(f.player.BetweenRecordings());
    EXPECT_EQ(f.output.All(),
              "ok\x1b"
              "cok\x1b"
              "cok");
}

TEST(Player, AListThatPlaysNothingStopsInsteadOfSpinning)
{
    ListFixture f({{"missing", QByteArray()}, {"empty", ""}, {"cut", TtyrecHeader(1, 0, 5)}}, true);
    f.player.SetGap(0);
    f.player.StartPlaylist();
    for (int i = 0; i < 10; ++i) {
        f.player.TimerTimer();
    }
    EXPECT_FALSE(f.player.BetweenRecordings());
    EXPECT_EQ(f.status.files.size(), 3);                      // one text each, then nothing more
    EXPECT_EQ(f.status.file, "5" + Texts::ReadFailedSuffix);  // the last failure stays
    EXPECT_EQ(f.timer.interval, 0u);
}

// A file being written, and a live source on it.
struct LiveFile
{
    LiveFile() : path(folder.Write(QStringLiteral("live"), QByteArray())), writer(path)
    {
        writer.open(QIODevice::Append | QIODevice::Unbuffered);
    }
    std::unique_ptr<FrameSource> Source() const
    {
        return growing::OpenGrowingSource(OpenForReading(path), growing::Format::Ttyrec);
    }
    RecordingFolder folder;
    QString path;
    QFile writer;
};

TEST(Player, ALiveRecordingPlaysItsPastUnseenThenEachWholeFrameAtOnce)
{
    PlayerFixture f;
    f.output.viewers = true;
    ASSERT_TRUE(f.Open(SecondApartRecording(2)));
    f.player.TimerTimer();  // the viewers show a frame of this one
    LiveFile live;
    live.writer.write(TtyrecBytes({{50, 0, "past;"}, {51, 0, "more past;"}}));
    f.player.StartLive(live.Source(), QStringLiteral("live"));
    // The viewers' screens are cleared; the past goes to them as to newcomers.
    EXPECT_EQ(f.output.broadcasts.back(), kTerminalReset);
    EXPECT_EQ(f.output.unseen, QByteArray("past;more past;"));
    EXPECT_EQ(f.output.rejoins, 1);
    EXPECT_EQ(f.player.FramesPlayed(), 2);
    EXPECT_EQ(f.status.time, QStringLiteral("1秒"));
    EXPECT_FALSE(f.timer.enabled);

    // Each read sends what is whole, in one broadcast, unpaced whatever the gaps; the
    // next-frame key has nothing to hurry but what is written.
    f.player.SetIdleLimit(0.5);
    const QByteArray half = TtyrecBytes({{99, 0, "later;"}});
    live.writer.write(TtyrecBytes({{60, 0, "now;"}, {61, 0, "then;"}}) + half.left(14));
    f.player.ReadOn();
    EXPECT_EQ(f.output.broadcasts.back(), QByteArray("now;then;"));
    const size_t count = f.output.broadcasts.size();
    f.player.PlayNextFrameNow();
    EXPECT_EQ(f.output.broadcasts.size(), count);
    live.writer.write(half.mid(14));
    f.player.PlayNextFrameNow();
    EXPECT_EQ(f.output.broadcasts.back(), QByteArray("later;"));
    EXPECT_EQ(f.player.FramesPlayed(), 5);
    EXPECT_EQ(f.status.time, QStringLiteral("49秒"));
    EXPECT_FALSE(f.timer.enabled);

    // A new recording at the same place: one reset, however often it is started over.
    f.player.StopLive();
    LiveFile again;
    f.player.StartLive(again.Source(), QStringLiteral("again"));
    EXPECT_EQ(f.output.broadcasts.size(), count + 2);
    EXPECT_EQ(f.output.broadcasts.back(), kTerminalReset);
    EXPECT_EQ(f.output.rejoins, 1);  // nothing to catch up on
}

TEST(Player, ABurstOfLiveFramesGoesInPartsAndABadFrameEndsTheRecording)
{
    PlayerFixture f;
    LiveFile live;
    f.player.StartLive(live.Source(), QStringLiteral("live"));
    std::vector<TestFrame> burst(400, TestFrame{1, 0, QByteArray(4096, 'x')});
    live.writer.write(TtyrecBytes(burst));
    f.player.ReadOn();
    // Read and sent with nobody watching, a part now and the rest on the next turns.
    EXPECT_LT(f.output.All().size(), 400 * 4096);
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.output.All().size() == 400 * 4096; }, 2000));
    EXPECT_GT(f.output.broadcasts.size(), 1u);

    live.writer.write(TtyrecHeader(2, 0, -1));
    f.player.ReadOn();
    EXPECT_EQ(f.status.file, QStringLiteral("-1") + Texts::AllocationFailedSuffix);
    EXPECT_EQ(f.player.Source(), nullptr);
}

}  // namespace
