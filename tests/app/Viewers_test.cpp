// Viewers joining and leaving an in-process form over real loopback connections.
#include <gtest/gtest.h>

#include <QThread>

#include "common/Texts.h"
#include "server/ViewerHub.h"
#include "support/FormFixture.h"
#include "support/LoopbackClient.h"

namespace {

using std::chrono::milliseconds;

std::vector<TestFrame> NumberedFrames(int count, QByteArray extra = QByteArray())
{
    std::vector<TestFrame> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back({100 + i, 0, "<" + QByteArray::number(i) + ">" + extra});
    }
    return frames;
}

// About 6 MB in 3000 frames of 2000 bytes, each with a 0xFF to escape.
std::vector<TestFrame> LargeRecording()
{
    std::vector<TestFrame> frames;
    for (int i = 0; i < 3000; ++i) {
        QByteArray body(2000, static_cast<char>('a' + i % 26));
        body[i % 2000] = '\xff';
        frames.push_back({i, 0, body});
    }
    return frames;
}

QByteArray EscapedFrames(const std::vector<TestFrame>& frames, size_t from, size_t to)
{
    QByteArray bytes;
    for (size_t i = from; i < to; ++i) {
        bytes += NaiveEscape(frames[i].body);
    }
    return bytes;
}

// Plays frames to a viewer that then leaves, so a newcomer has that much to catch up on.
void PlayThenLeave(FormFixture& fixture, int frames)
{
    LoopbackClient passing;
    ASSERT_TRUE(fixture.Join(passing));
    for (int i = 0; i < frames; ++i) {
        fixture.Form().TimerTimer();
    }
    passing.Close();
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return fixture.Form().ViewerCount() == 0; }, 5000));
}

TEST(Viewers, AJoinKeepsThePendingFramesDeadline)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", TtyrecBytes(NumberedFrames(4)))));
    LoopbackClient first;
    ASSERT_TRUE(fixture.Join(first));
    form.TimerTimer();  // arms the 1000 ms gap to frame 1
    const auto deadline = form.Timer.Deadline();
    ASSERT_TRUE(deadline.has_value());
    QThread::msleep(200);

    LoopbackClient second;
    ASSERT_TRUE(fixture.Join(second));
    ASSERT_TRUE(form.Timer.Deadline().has_value());
    EXPECT_EQ(*form.Timer.Deadline(), *deadline);
    EXPECT_EQ(form.Timer.Interval(), 1000u);
}

TEST(Viewers, TheOnlyViewerLeavingPausesAndTheNextResumesAtThePendingFrame)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    const std::vector<TestFrame> frames = NumberedFrames(5);
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", TtyrecBytes(frames))));
    {
        LoopbackClient only;
        ASSERT_TRUE(fixture.Join(only));
        form.TimerTimer();
        only.Close();
        ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return form.ViewerCount() == 0; }, 2000));
    }
    EXPECT_FALSE(form.Timer.Enabled());
    EXPECT_EQ(form.StatusText(0), QString::number(fixture.ViewerPort()) + Texts::WaitingSuffix);
    EXPECT_EQ(*form.FrameBuffer(), frames[1].body);
    LoopbackClient::Pump(300);
    EXPECT_EQ(*form.FrameBuffer(), frames[1].body);

    // The next viewer catches up on frame 0, then gets frame 1 a full gap later.
    LoopbackClient next;
    ASSERT_TRUE(fixture.Join(next));
    const QByteArray expected = TelnetGreeting + frames[0].body + frames[1].body;
    ASSERT_TRUE(next.WaitForBytes(expected.size(), 2500));
    EXPECT_EQ(next.Received(), expected);
}

TEST(Viewers, PanelNamesTheOldestListedViewer)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    // From a loopback address of the test's choosing, so the two viewers can be told apart.
    LoopbackClient a;
    ASSERT_TRUE(a.ConnectFrom("127.0.0.2", fixture.ViewerPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return form.ViewerCount() == 1; }, 2000));
    EXPECT_EQ(form.StatusText(0), QStringLiteral("127.0.0.2,1"));
    LoopbackClient b;
    ASSERT_TRUE(fixture.Join(b));
    EXPECT_EQ(form.StatusText(0), QStringLiteral("127.0.0.2,2"));

    // A leaves in order (unread bytes would make its close a reset): it is still listed
    // while its departure is handled.
    ASSERT_TRUE(a.WaitForBytes(TelnetGreeting.size(), 2000));
    a.Close();
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return form.ViewerCount() == 1; }, 2000));
    EXPECT_EQ(form.StatusText(0), QStringLiteral("127.0.0.2,1"));
    LoopbackClient::Pump(100);
    EXPECT_EQ(form.ServerSocket.ListeningSocket()->ConnectionCount(), 1);
}

TEST(Viewers, FailedAddressQueryStillCountsTheViewers)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", TtyrecBytes(NumberedFrames(3)))));
    LoopbackClient a;
    ASSERT_TRUE(fixture.Join(a));
    const uint32_t interval = form.Timer.Interval();
    // The peer resets before the server has heard of it: asking for its address fails.
    a.Reset();
    QThread::msleep(50);
    form.ShowConnectionStatus();
    EXPECT_EQ(form.StatusText(0), QStringLiteral(",1"));
    EXPECT_EQ(form.ViewerCount(), 1);
    EXPECT_EQ(form.Timer.Interval(), interval);
}

TEST(Viewers, LongCatchUpReachesASlowReaderWhole)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    const std::vector<TestFrame> frames = LargeRecording();
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("big", TtyrecBytes(frames))));
    PlayThenLeave(fixture, 2990);
    LoopbackClient slow;
    slow.SetReceiveBufferSize(4096);
    ASSERT_TRUE(fixture.Join(slow));
    LoopbackClient::Pump(300);  // not reading yet: most of it waits in the server
    const QByteArray expected = TelnetGreeting + EscapedFrames(frames, 0, 2990);
    ASSERT_TRUE(slow.WaitForBytes(expected.size(), 20000));
    EXPECT_TRUE(slow.Received() == expected);
    // The form shows the pending frame as telnet viewers get it.
    EXPECT_EQ(*form.FrameBuffer(), NaiveEscape(frames[2990].body));
    EXPECT_EQ(form.FrameHeader().length, form.FrameBuffer()->size());
    EXPECT_EQ(*form.Playback().FrameBuffer(), frames[2990].body);
}

}  // namespace

namespace {

// A viewer that never reads holds every frame played meanwhile; what it holds must be the
// frames, not the reader's blocks, which are kept from frame to frame and may be larger.
TEST(Broadcast, AViewerThatNeverReadsHoldsTheFramesNotTheirBlocks)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    std::vector<TestFrame> frames;
    for (int i = 0; i < 300; ++i) {
        frames.push_back({100 + i, 0, QByteArray(20000, static_cast<char>('a' + i % 26))});
    }
    // Joined before the recording opens, so it has no catch-up: every frame reaches it
    // from the broadcast.
    LoopbackClient stalled;
    stalled.SetReceiveBufferSize(4096);
    ASSERT_TRUE(fixture.Join(stalled));
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("wide", TtyrecBytes(frames))));
    TCustomWinSocket* connection = form.ServerSocket.ListeningSocket()->ConnectionAt(0);
    qsizetype played = 0;
    for (int i = 0; i < 250; ++i) {
        played += form.FrameBuffer()->size();
        form.TimerTimer();
    }
    ASSERT_GT(connection->PendingBytes(), 0) << "nothing was queued; nothing was tested";
    EXPECT_LT(connection->PendingBytes(), played + played / 10);
}

}  // namespace
