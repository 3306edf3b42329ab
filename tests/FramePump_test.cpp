// Opening, pacing and broadcasting, against the real timer and real loopback viewers.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QThread>

#include "app/Texts.h"
#include "playback/PlaybackClock.h"
#include "server/Viewers.h"
#include "support/FormFixture.h"
#include "support/LoopbackClient.h"

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

TEST(OpenRecording, WithNoViewerWaitsOnTheFirstFrame)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    form.SetPlaySpeed(8);
    QSignalSpy changes(form.TrackBarPlaySpeed, &QSlider::valueChanged);
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("demo.ttyrec", SecondApartRecording(3))));
    EXPECT_EQ(form.StatusText(1), QStringLiteral("demo.ttyrec"));
    EXPECT_EQ(form.StatusText(2), QStringLiteral("0秒"));
    EXPECT_EQ(form.PlaySpeed(), 1);
    EXPECT_EQ(form.LabelPlaySpeed->text(), QStringLiteral("1"));
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(form.Timer.Interval(), 100u);
    EXPECT_FALSE(form.Timer.Enabled());

    // Opening again at speed 1 raises no change.
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("again", SecondApartRecording(2))));
    EXPECT_EQ(changes.count(), 1);

    // A viewer-less pause keeps the pending frame.
    QTest::qWait(250);
    EXPECT_EQ(*form.FrameBuffer, QByteArray("frame0;"));
    EXPECT_EQ(form.StatusText(2), QStringLiteral("0秒"));
}

TEST(OpenRecording, FailureLeavesSpeedAndTimerAlone)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    form.SetPlaySpeed(4);
    form.Timer.SetInterval(250);
    EXPECT_FALSE(fixture.Open(fixture.WriteRecording("empty", QByteArray())));
    EXPECT_EQ(form.PlaySpeed(), 4);
    EXPECT_EQ(form.Timer.Interval(), 250u);
    EXPECT_EQ(form.StatusText(1), Texts::EndOfFile);
}

TEST(TimerTimer, WithoutRecordingOrViewerOnlyDisablesTheTimer)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    form.Timer.SetInterval(500);
    form.TimerTimer();
    EXPECT_EQ(form.Timer.Interval(), 0u);
    EXPECT_FALSE(form.Timer.Enabled());

    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", SecondApartRecording(3))));
    form.TimerTimer();  // no viewer: the pending frame stays
    EXPECT_EQ(*form.FrameBuffer, QByteArray("frame0;"));
    EXPECT_FALSE(form.Timer.Enabled());
}

TEST(TimerTimer, SendsTheFrameToEveryViewerAndArmsTheNextDelay)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", SecondApartRecording(4))));
    LoopbackClient a;
    LoopbackClient b;
    ASSERT_TRUE(fixture.Join(a));
    ASSERT_TRUE(fixture.Join(b));

    // The first frame goes out about 100 ms after the open.
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(a.WaitForBytes(TelnetGreeting.size() + 7, 1000));
    EXPECT_LT(clock.elapsed(), 400);
    ASSERT_TRUE(b.WaitForBytes(TelnetGreeting.size() + 7, 1000));
    EXPECT_EQ(a.Received(), TelnetGreeting + "frame0;");
    EXPECT_EQ(b.Received(), TelnetGreeting + "frame0;");
    EXPECT_EQ(form.Timer.Interval(), 1000u);

    // A speed change while a delay is armed changes only the next delay.
    form.SetPlaySpeed(10);
    EXPECT_EQ(form.Timer.Interval(), 1000u);
    form.TimerTimer();
    EXPECT_EQ(form.Timer.Interval(), 100u);
    EXPECT_EQ(form.StatusText(2), QStringLiteral("2秒"));
}

TEST(TimerTimer, EndOfFileStopsWithTheLastTimeShown)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", SecondApartRecording(3))));
    LoopbackClient viewer;
    ASSERT_TRUE(fixture.Join(viewer));
    form.TimerTimer();
    form.TimerTimer();
    EXPECT_EQ(form.StatusText(2), QStringLiteral("2秒"));
    form.TimerTimer();  // sends the last frame, meets the end
    EXPECT_EQ(form.StatusText(1), Texts::EndOfFile);
    EXPECT_EQ(form.StatusText(2), QStringLiteral("2秒"));
    EXPECT_EQ(form.Timer.Interval(), 0u);
    ASSERT_TRUE(viewer.WaitForBytes(TelnetGreeting.size() + 21, 1000));
    EXPECT_EQ(viewer.Received(), TelnetGreeting + "frame0;frame1;frame2;");
    EXPECT_TRUE(viewer.ReadFor(200).isEmpty());
}

TEST(TimerTimer, ZeroLengthFramesSendNothingButKeepTheirTime)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    const QByteArray bytes = TtyrecBytes({{10, 0, "a"}, {12, 0, ""}, {15, 0, "b"}});
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", bytes)));
    LoopbackClient viewer;
    ASSERT_TRUE(fixture.Join(viewer));
    form.TimerTimer();
    EXPECT_EQ(form.Timer.Interval(), 2000u);
    EXPECT_EQ(form.StatusText(2), QStringLiteral("2秒"));
    form.TimerTimer();
    EXPECT_EQ(form.Timer.Interval(), 3000u);
    form.TimerTimer();
    ASSERT_TRUE(viewer.WaitForBytes(TelnetGreeting.size() + 2, 1000));
    EXPECT_EQ(viewer.Received(), TelnetGreeting + "ab");
}

}  // namespace

TEST(TimerTimer, ALateTickTakesTheFramesThatFellDueWithIt)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    // Frames 10 ms apart, then a long pause.
    std::vector<TestFrame> frames;
    for (int i = 0; i < 10; ++i) {
        frames.push_back({0, i * 10000, "<" + QByteArray::number(i) + ">"});
    }
    frames.push_back({100, 0, "<last>"});
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("r", TtyrecBytes(frames))));
    LoopbackClient viewer;
    ASSERT_TRUE(fixture.Join(viewer));
    ASSERT_EQ(form.Timer.Interval(), 100u);

    // The loop is held up past the first frame's deadline and four gaps more.
    QThread::msleep(100 + 45);
    QCoreApplication::processEvents();  // one late tick
    ASSERT_TRUE(viewer.WaitForBytes(TelnetGreeting.size() + 15, 1000));
    EXPECT_TRUE(viewer.Received().startsWith(QByteArray(TelnetGreeting + "<0><1><2><3><4>")));
    // The frames not yet due wait for their own time.
    EXPECT_FALSE(viewer.Received().contains("<9>"));
    ASSERT_TRUE(viewer.WaitForBytes(TelnetGreeting.size() + 30, 1000));
    EXPECT_EQ(viewer.Received(), TelnetGreeting + "<0><1><2><3><4><5><6><7><8><9>");
}
