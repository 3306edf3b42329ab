// Keys typed in a viewer, through the form's read handler, over real loopback connections.
#include <gtest/gtest.h>

#include <QLabel>

#include "server/ViewerHub.h"
#include "support/FormFixture.h"
#include "support/LoopbackClient.h"

namespace {

// Sends keys and waits until the form has taken them (the speed settles).
void Type(LoopbackClient& viewer, const QByteArray& keys)
{
    viewer.Send(keys);
    for (int i = 0; i < 5; ++i) {
        LoopbackClient::Pump(20);
    }
}

TEST(ViewerKeys, SpeedKeysGoThroughTheTrackbar)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    LoopbackClient viewer;
    ASSERT_TRUE(fixture.Join(viewer));
    QSignalSpy changes(form.TrackBarPlaySpeed, &QSlider::valueChanged);

    Type(viewer, "ff");
    EXPECT_EQ(changes.count(), 2);
    EXPECT_EQ(form.LabelPlaySpeed->text(), QStringLiteral("4"));

    std::vector<int> seen;
    for (int i = 0; i < 6; ++i) {
        Type(viewer, "+");
        seen.push_back(form.PlaySpeed());
    }
    EXPECT_EQ(seen, (std::vector<int>{8, 16, 32, 64, 100, 100}));
    seen.clear();
    for (int i = 0; i < 7; ++i) {
        Type(viewer, i % 2 == 0 ? "-" : "s");
        seen.push_back(form.PlaySpeed());
    }
    EXPECT_EQ(seen, (std::vector<int>{50, 25, 12, 6, 3, 1, 1}));
    Type(viewer, "fff1");
    EXPECT_EQ(form.PlaySpeed(), 1);
    EXPECT_EQ(form.LabelPlaySpeed->text(), QStringLiteral("1"));
}

TEST(ViewerKeys, SplitNegotiationIsNoKey)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    LoopbackClient viewer;
    ASSERT_TRUE(fixture.Join(viewer));
    // Playing, with a next frame a thousand seconds away: a byte taken as a key would
    // send it at once.
    ASSERT_TRUE(fixture.Open(
        fixture.WriteRecording("r", TtyrecBytes({{0, 0, "A"}, {1000, 0, "B"}, {2000, 0, "C"}}))));
    ASSERT_TRUE(viewer.WaitForBytes(TelnetGreeting.size() + 1, 1000));
    form.SetPlaySpeed(2);
    Type(viewer, QByteArray("\xff\xfd\x01\xff", 4));
    Type(viewer, QByteArray("\xfd\x03\xff\xfc\xf3", 5));
    EXPECT_EQ(viewer.ReadFor(150), QByteArray());
    EXPECT_EQ(form.PlaySpeed(), 2);
}

TEST(ViewerKeys, OtherKeysSendTheNextFrameToEveryViewer)
{
    FormFixture fixture;
    TFormOmbrix& form = fixture.Form();
    LoopbackClient a;
    LoopbackClient b;
    ASSERT_TRUE(fixture.Join(a));
    ASSERT_TRUE(fixture.Join(b));

    // No recording: a key sends nothing and leaves the timer stopped.
    Type(a, "x");
    EXPECT_EQ(form.Timer.Interval(), 0u);
    EXPECT_EQ(b.ReadFor(100), QByteArray());

    // Gaps of a thousand seconds: after the first frame's own tick, only keys move this
    // recording on.
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording(
        "r", TtyrecBytes(
                 {{0, 0, "A"}, {1000, 0, "B"}, {2000, 0, "C"}, {3000, 0, "D"}, {4000, 0, "E"}}))));
    EXPECT_EQ(b.ReadFor(300), QByteArray("A"));
    EXPECT_EQ(a.ReadFor(50), QByteArray("A"));
    Type(a, "\r\n");  // Enter: one key, one frame
    EXPECT_EQ(b.ReadFor(150), QByteArray("B"));
    EXPECT_EQ(a.ReadFor(50), QByteArray("B"));
    Type(a, "\x1b[1;1R");  // a terminal's cursor report is no key
    EXPECT_EQ(b.ReadFor(150), QByteArray());
    Type(b, "F2");  // upper-case F and digits other than 1 are frame keys
    EXPECT_EQ(a.ReadFor(150), QByteArray("CD"));
    EXPECT_EQ(form.Timer.Interval(), 1000000u);
}

}  // namespace
