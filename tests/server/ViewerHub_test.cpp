// The viewer hub with in-memory viewers and a real player on an in-memory recording:
// joining, catching up, broadcasting in each viewer's encoding, keys and departures.
#include "server/ViewerHub.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "playback/GrowingSource.h"
#include "playback/Player.h"
#include "playback/ResetFirstSource.h"
#include "server/screen/ScreenModel.h"
#include "support/PlaybackFakes.h"
#include "support/Ttyrec.h"

namespace {

class FakeViewer final : public ViewerConnection
{
public:
    FakeViewer(ViewerHub& hub, Encoding encoding, QString address = QStringLiteral("10.0.0.1"))
        : hub_(hub), encoding_(encoding), address_(std::move(address))
    {
    }
    Encoding FrameEncoding() const override { return encoding_; }
    void Send(const QByteArray& bytes) override
    {
        if (connected) {
            received += bytes;
            pending += stalled ? bytes.size() : 0;
            if (stalled) {
                queued.push_back(bytes);  // shared, as a real connection's queue holds it
            }
            if (failsOnSend) {
                Close();
            }
        }
    }
    qsizetype PendingBytes() const override { return pending; }
    bool IsConnected() const override { return connected; }
    QString PeerAddress() override { return address_; }
    QHostAddress ClientAddress() const override { return QHostAddress(address_); }
    void TurnAway(const QString& reason) override
    {
        turnedAway = reason;
        Close();
    }
    void Close() override
    {
        if (connected) {
            connected = false;
            hub_.Leave(this);
        }
    }
    // The viewer's side takes everything that waited.
    void Drain()
    {
        pending = 0;
        queued.clear();
        hub_.Writable(this);
    }
    // The memory the blocks waiting in the connection hold.
    qsizetype QueuedCapacity() const
    {
        qsizetype capacity = 0;
        for (const QByteArray& block : queued) {
            capacity += block.capacity();
        }
        return capacity;
    }

    QByteArray received;
    qsizetype pending = 0;
    std::vector<QByteArray> queued;
    bool stalled = false;  // sends wait in the connection until Drain
    bool connected = true;
    bool failsOnSend = false;  // the transport hangs up inside the send
    QString turnedAway;

private:
    ViewerHub& hub_;
    Encoding encoding_;
    QString address_;
};

struct HubFixture : ViewerHubHost
{
    HubFixture()
    {
        player.SetOutput(&hub);
        hub.SetPlayback(&player);
    }
    void ViewersChanged() override
    {
        ++changes;
        firstAddress = hub.ViewerCount() > 0 ? hub.FirstViewerAddress() : QString();
        player.UpdateTimerEnabled();
    }
    void TerminalResized(QSize size) override { resizes.push_back(size); }
    bool Open(const QByteArray& bytes)
    {
        return player.Open(std::make_unique<MemorySource>(bytes), QStringLiteral("r"));
    }
    void Tick(int times = 1)
    {
        for (int i = 0; i < times; ++i) {
            player.TimerTimer();
        }
    }

    FakeTimer timer;
    FakeSpeed speed;
    FakeStatus status;
    Player player{timer, speed, status};
    MemoryBudget memory;
    ViewerHub hub{*this, speed, memory};
    int changes = 0;
    QString firstAddress;
    std::vector<QSize> resizes;
};

std::vector<TestFrame> NumberedFrames(int count, const QByteArray& extra = QByteArray())
{
    std::vector<TestFrame> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back({100 + i, 0, "<" + QByteArray::number(i) + ">" + extra});
    }
    return frames;
}

QByteArray Bodies(const std::vector<TestFrame>& frames, size_t from, size_t to, bool escaped)
{
    QByteArray bytes;
    for (size_t i = from; i < to; ++i) {
        bytes += escaped ? NaiveEscape(frames[i].body) : frames[i].body;
    }
    return bytes;
}

TEST(ViewerHub, TelnetAndRawViewersGetTheirOwnEncodingOfCatchUpAndBroadcast)
{
    HubFixture f;
    const std::vector<TestFrame> frames = NumberedFrames(6, QByteArray("\xff", 1));
    ASSERT_TRUE(f.Open(TtyrecBytes(frames)));
    FakeViewer first(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&first);
    EXPECT_TRUE(f.timer.enabled);
    f.Tick(2);  // frames 0 and 1 played; frame 2 pending

    FakeViewer telnet(f.hub, ViewerConnection::Encoding::Telnet);
    FakeViewer raw(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&telnet);
    f.hub.Join(&raw);
    EXPECT_EQ(f.hub.ViewerCount(), 3);
    EXPECT_EQ(telnet.received, TelnetGreeting + Bodies(frames, 0, 2, true));
    EXPECT_EQ(raw.received, Bodies(frames, 0, 2, false));  // no greeting for a browser
    EXPECT_EQ(*f.player.FrameBuffer(), frames[2].body);    // the player unmoved

    f.Tick(2);
    EXPECT_EQ(first.received, TelnetGreeting + Bodies(frames, 0, 4, true));
    EXPECT_EQ(telnet.received, TelnetGreeting + Bodies(frames, 0, 4, true));
    EXPECT_EQ(raw.received, Bodies(frames, 0, 4, false));
}

TEST(ViewerHub, ABroadcastIsEscapedOnceForAllTelnetViewersAndNeverForBrowsers)
{
    HubFixture f;
    FakeViewer telnetA(f.hub, ViewerConnection::Encoding::Telnet);
    FakeViewer telnetB(f.hub, ViewerConnection::Encoding::Telnet);
    FakeViewer browser(f.hub, ViewerConnection::Encoding::Raw);
    for (FakeViewer* viewer : {&telnetA, &telnetB, &browser}) {
        viewer->stalled = true;  // so each keeps the very blocks it was sent
        f.hub.Join(viewer);
    }
    const QByteArray plain("no command byte here");
    const QByteArray withIac(
        "a\xff"
        "b",
        3);
    f.hub.Broadcast(plain);
    f.hub.Broadcast(withIac);

    ASSERT_EQ(telnetA.queued.size(), 3u);  // the greeting, then the two frames
    ASSERT_EQ(telnetB.queued.size(), 3u);
    ASSERT_EQ(browser.queued.size(), 2u);
    // Without 0xFF nobody gets a copy.
    EXPECT_EQ(telnetA.queued[1].constData(), plain.constData());
    EXPECT_EQ(browser.queued[0].constData(), plain.constData());
    // With one, the telnet viewers share one escaped block; the browser gets the frame as
    // it was recorded, the block itself.
    EXPECT_EQ(telnetA.queued[2], NaiveEscape(withIac));
    EXPECT_EQ(telnetB.queued[2].constData(), telnetA.queued[2].constData());
    EXPECT_EQ(browser.queued[1].constData(), withIac.constData());
}

TEST(ViewerHub, WithoutARecordingOrAfterItsEndANewcomerGetsOnlyTheGreeting)
{
    HubFixture f;
    FakeViewer early(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&early);
    EXPECT_EQ(early.received, TelnetGreeting);
    EXPECT_FALSE(f.hub.IsCatchingUp(&early));

    ASSERT_TRUE(f.Open(TtyrecBytes(NumberedFrames(2))));
    f.Tick(2);
    ASSERT_EQ(f.player.Source(), nullptr);
    FakeViewer late(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&late);
    EXPECT_EQ(late.received, TelnetGreeting);
    EXPECT_EQ(early.received, TelnetGreeting + "<0><1>");
}

TEST(ViewerHub, StalledCatchUpGetsFramesPlayedMeanwhileOnceAndTheCutShortLastBody)
{
    HubFixture f;
    std::vector<TestFrame> frames;
    for (int i = 0; i < 400; ++i) {
        frames.push_back({i, 0, QByteArray(2000, static_cast<char>('a' + i % 26))});
    }
    // The last body is cut short by the end of the file.
    const QByteArray bytes = TtyrecBytes(frames) + TtyrecHeader(500, 0, 100) + "cut";
    ASSERT_TRUE(f.Open(bytes));
    FakeViewer watcher(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&watcher);
    f.Tick(300);

    // 600 kB to catch up on, and a viewer that takes nothing until it drains.
    FakeViewer slow(f.hub, ViewerConnection::Encoding::Telnet);
    slow.stalled = true;
    f.hub.Join(&slow);
    EXPECT_TRUE(f.hub.IsCatchingUp(&slow));
    const qsizetype firstBlock = slow.received.size();
    EXPECT_LT(firstBlock, Bodies(frames, 0, 300, true).size());
    // Playback goes on to the end meanwhile; the broadcasts pass the newcomer by.
    f.Tick(200);
    EXPECT_EQ(f.player.Source(), nullptr);
    EXPECT_EQ(slow.received.size(), firstBlock);
    while (f.hub.IsCatchingUp(&slow)) {
        slow.Drain();
    }
    const QByteArray everything = TelnetGreeting + Bodies(frames, 0, 400, true) + "cut";
    EXPECT_TRUE(slow.received == everything);
    EXPECT_TRUE(watcher.received == everything);
}

TEST(ViewerHub, OpeningAnotherRecordingEndsCatchUpsOnTheOld)
{
    HubFixture f;
    const std::vector<TestFrame> frames = NumberedFrames(400, QByteArray(2000, 'x'));
    ASSERT_TRUE(f.Open(TtyrecBytes(frames)));
    FakeViewer watcher(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&watcher);
    f.Tick(300);
    FakeViewer slow(f.hub, ViewerConnection::Encoding::Telnet);
    slow.stalled = true;
    f.hub.Join(&slow);
    ASSERT_TRUE(f.hub.IsCatchingUp(&slow));

    ASSERT_TRUE(f.Open(TtyrecBytes({{0, 0, "new"}})));
    EXPECT_FALSE(f.hub.IsCatchingUp(&slow));
    const qsizetype before = slow.received.size();
    slow.Drain();
    f.Tick();
    EXPECT_EQ(slow.received.mid(before), QByteArray("new"));
}

TEST(ViewerHub, DeparturesKeepTheCountAndNameTheLeavingFirstViewerOnce)
{
    HubFixture f;
    ASSERT_TRUE(f.Open(TtyrecBytes(NumberedFrames(5))));
    FakeViewer a(f.hub, ViewerConnection::Encoding::Telnet, QStringLiteral("10.0.0.1"));
    FakeViewer b(f.hub, ViewerConnection::Encoding::Raw, QStringLiteral("10.0.0.2"));
    FakeViewer c(f.hub, ViewerConnection::Encoding::Telnet, QStringLiteral("10.0.0.3"));
    f.hub.Join(&a);
    f.hub.Join(&b);
    f.hub.Join(&c);
    EXPECT_EQ(f.firstAddress, QStringLiteral("10.0.0.1"));
    a.Close();
    EXPECT_EQ(f.hub.ViewerCount(), 2);
    EXPECT_EQ(f.firstAddress, QStringLiteral("10.0.0.1"));  // still listed while it leaves
    EXPECT_EQ(f.hub.FirstViewerAddress(), QStringLiteral("10.0.0.2"));

    // A viewer hung up inside a broadcast: the others still get the frame, and it is
    // never sent to again.
    FakeViewer closer(f.hub, ViewerConnection::Encoding::Telnet);
    closer.failsOnSend = true;
    f.hub.Join(&closer);
    EXPECT_EQ(f.hub.ViewerCount(), 2);  // the greeting's send hung it up
    f.Tick();
    EXPECT_EQ(b.received, QByteArray("<0>"));
    EXPECT_EQ(c.received, TelnetGreeting + "<0>");
    EXPECT_EQ(closer.received, TelnetGreeting);

    b.Close();
    c.Close();
    EXPECT_EQ(f.hub.ViewerCount(), 0);
    EXPECT_FALSE(f.timer.enabled);
    EXPECT_EQ(f.hub.FirstViewer(), nullptr);
}

TEST(ViewerHub, KeysOfTelnetAndRawViewers)
{
    HubFixture f;
    ASSERT_TRUE(f.Open(TtyrecBytes({{0, 0, "A"}, {1000, 0, "B"}, {2000, 0, "C"}})));
    FakeViewer telnet(f.hub, ViewerConnection::Encoding::Telnet);
    FakeViewer raw(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&telnet);
    f.hub.Join(&raw);

    f.hub.Received(&telnet, "ff");
    EXPECT_EQ(f.speed.speed, 4);
    f.hub.Received(&raw, "s");
    EXPECT_EQ(f.speed.speed, 2);
    // Enter is one key: one frame.
    f.hub.Received(&raw, "\r\n");
    EXPECT_EQ(raw.received, QByteArray("A"));
    // Telnet negotiation split across reads is no key on a telnet viewer.
    f.hub.Received(&telnet, QByteArray("\xff\xfd\x01\xff", 4));
    f.hub.Received(&telnet, QByteArray("\xfd\x03", 2));
    EXPECT_EQ(raw.received, QByteArray("A"));
    // A browser has no telnet commands: what follows 0xFF is a key like any other.
    f.hub.Received(&raw, QByteArray("\xff\xfd", 2));
    EXPECT_EQ(raw.received, QByteArray("AB"));
    EXPECT_EQ(f.speed.speed, 2);
}

TEST(ViewerHub, AnEscNothingFollowsIsOneFrameKeyAndASequenceSplitAcrossReadsIsOne)
{
    HubFixture f;
    ASSERT_TRUE(f.Open(TtyrecBytes({{0, 0, "A"}, {1000, 0, "B"}, {2000, 0, "C"}, {3000, 0, "D"}})));
    FakeViewer viewer(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&viewer);
    const QByteArray greeting = viewer.received;

    // The Esc key alone: held for a moment in case a sequence follows, then one frame.
    f.hub.Received(&viewer, "\x1b");
    EXPECT_EQ(viewer.received, greeting);
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.received == greeting + "A"; }, 1000));

    // An arrow key whose bytes come in two reads close together: one frame, not two.
    f.hub.Received(&viewer, "\x1b[");
    f.hub.Received(&viewer, "B");
    EXPECT_EQ(viewer.received, greeting + "AB");
    QTest::qWait(120);
    EXPECT_EQ(viewer.received, greeting + "AB");

    // A viewer that leaves while holding an ESC is forgotten.
    f.hub.Received(&viewer, "\x1b");
    viewer.Close();
    QTest::qWait(120);
    EXPECT_EQ(viewer.received, greeting + "AB");
}

TEST(ViewerHub, StalledNewcomerHoldsOneSmallBlockWhileItsCatchUpWaits)
{
    HubFixture f;
    std::vector<TestFrame> frames;
    for (int i = 0; i < 1500; ++i) {
        frames.push_back({i, 0, QByteArray(2000, static_cast<char>('a' + i % 26))});
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r"));
    ASSERT_TRUE(WriteFile(path, TtyrecBytes(frames)));
    ASSERT_TRUE(f.player.Open(QFile::encodeName(path)));  // read from the file itself
    FakeViewer watcher(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&watcher);
    f.Tick(1400);

    // 2.8 MB to catch up on; each pause of the newcomer must let go of what was read ahead.
    FakeViewer slow(f.hub, ViewerConnection::Encoding::Telnet);
    slow.stalled = true;
    f.hub.Join(&slow);
    int pauses = 0;
    while (f.hub.IsCatchingUp(&slow)) {
        ++pauses;
        EXPECT_EQ(f.memory.Total(), 0) << "pause " << pauses;
        EXPECT_LE(slow.QueuedCapacity(), 256 * 1024) << "pause " << pauses;
        if (pauses % 4 == 0) {
            f.Tick();  // playback goes on meanwhile
        }
        slow.Drain();
    }
    EXPECT_GT(pauses, 10);
    EXPECT_EQ(f.memory.Total(), 0);
    f.Tick(200);
    EXPECT_EQ(f.player.Source(), nullptr);
    const QByteArray everything = TelnetGreeting + Bodies(frames, 0, frames.size(), true);
    EXPECT_TRUE(slow.received == everything);
    EXPECT_TRUE(watcher.received == everything);
}

QByteArray RepaintAfter(const std::vector<TestFrame>& frames, size_t count, QSize size)
{
    ScreenModel model(size.width(), size.height());
    for (size_t i = 0; i < count; ++i) {
        model.Feed(frames[i].body);
    }
    return model.Repaint();
}

TEST(ViewerHub, NewcomersOnTheScreenShareOneRepaintThenGetTheFramesWithEveryone)
{
    HubFixture f;
    f.hub.JoinOnScreen(QSize(40, 10));
    const std::vector<TestFrame> frames = {{0, 0, "\x1b[31mred\r\n"},
                                           {1, 0, "\x1b[?1049h\x1b[Hedit"},
                                           {2, 0, "\x1b[1mX"},
                                           {3, 0, "Y"}};
    ASSERT_TRUE(f.Open(TtyrecBytes(frames)));
    f.hub.RecordingStarted(std::nullopt);
    FakeViewer watcher(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&watcher);
    EXPECT_EQ(watcher.received, TelnetGreeting);  // nothing played: nothing to paint
    f.Tick(2);

    FakeViewer telnet(f.hub, ViewerConnection::Encoding::Telnet);
    FakeViewer pageA(f.hub, ViewerConnection::Encoding::Raw);
    FakeViewer pageB(f.hub, ViewerConnection::Encoding::Raw);
    for (FakeViewer* viewer : {&telnet, &pageA, &pageB}) {
        viewer->stalled = true;  // each keeps the very block it was sent
        f.hub.Join(viewer);
        EXPECT_FALSE(f.hub.IsCatchingUp(viewer));
    }
    const QByteArray repaint = RepaintAfter(frames, 2, QSize(40, 10));
    EXPECT_EQ(telnet.received, TelnetGreeting + repaint);
    EXPECT_EQ(pageA.received, repaint);
    ASSERT_EQ(pageB.queued.size(), 1u);
    EXPECT_EQ(pageB.queued[0].constData(), pageA.queued[0].constData());

    f.Tick();
    EXPECT_EQ(pageA.received, repaint + frames[2].body);
    FakeViewer later(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&later);
    EXPECT_EQ(later.received, RepaintAfter(frames, 3, QSize(40, 10)));

    // After the end the screen stays as the recording left it.
    f.Tick();
    ASSERT_EQ(f.player.Source(), nullptr);
    FakeViewer afterEnd(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&afterEnd);
    EXPECT_EQ(afterEnd.received, RepaintAfter(frames, 4, QSize(40, 10)));
}

TEST(ViewerHub, EachRecordingHasItsOwnScreenAndOneItCannotPaintGivesTheReplay)
{
    HubFixture f;
    f.hub.JoinOnScreen(QSize(40, 10));
    const std::vector<TestFrame> sized = {{0, 0, "\x1b[8;12;50t"}, {1, 0, "abc"}};
    ASSERT_TRUE(f.Open(TtyrecBytes(sized)));
    f.hub.RecordingStarted(QSize(30, 6));
    EXPECT_EQ(f.hub.ScreenSize(), QSize(30, 6));
    FakeViewer watcher(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&watcher);
    f.Tick(2);
    // The resize of a blank screen is the recording's terminal from then on.
    EXPECT_EQ(f.resizes, std::vector<QSize>{QSize(50, 12)});
    FakeViewer late(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&late);
    EXPECT_EQ(late.received, RepaintAfter(sized, 2, QSize(30, 6)));

    // Bytes that are not UTF-8: terminals differ on them, so newcomers get what played.
    const std::vector<TestFrame> legacy = {{0, 0, "ok\r\n"}, {1, 0, "\xb0\xb1"}, {2, 0, "z"}};
    ASSERT_TRUE(f.Open(TtyrecBytes(legacy)));
    f.hub.RecordingStarted(std::nullopt);
    EXPECT_EQ(f.hub.ScreenSize(), QSize(40, 10));
    f.Tick(2);
    FakeViewer replayed(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&replayed);
    EXPECT_EQ(replayed.received, TelnetGreeting + Bodies(legacy, 0, 2, true));
}

TEST(ViewerHub, ViewersOfALiveRecordingThatStartsGetWhatANewcomerGetsAfterAReset)
{
    HubFixture f;
    const std::vector<TestFrame> old = NumberedFrames(80, QByteArray(2000, '.'));
    ASSERT_TRUE(f.Open(TtyrecBytes(old)));
    FakeViewer watching(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&watching);
    f.Tick(79);  // two blocks' worth played: a newcomer's catch-up takes two sends
    FakeViewer catchingUp(f.hub, ViewerConnection::Encoding::Raw);
    catchingUp.stalled = true;  // still on the old recording's catch-up
    f.hub.Join(&catchingUp);
    ASSERT_TRUE(f.hub.IsCatchingUp(&catchingUp));

    const std::vector<TestFrame> live = NumberedFrames(3, QByteArray("\xff", 1));
    RecordingFolder folder;
    const QString path = folder.Write(QStringLiteral("live"), TtyrecBytes(live));
    const qsizetype before = watching.received.size();
    catchingUp.received.clear();
    f.player.StartLive(growing::OpenGrowingSource(OpenForReading(path), growing::Format::Ttyrec),
                       QStringLiteral("live"));
    catchingUp.stalled = false;
    catchingUp.Drain();
    EXPECT_EQ(watching.received.mid(before), kTerminalReset + Bodies(live, 0, 3, true));
    EXPECT_EQ(catchingUp.received, kTerminalReset + Bodies(live, 0, 3, false));
}

TEST(ViewerHub, OnTheScreenALiveRecordingThatStartsIsPaintedToTheViewersConnected)
{
    HubFixture f;
    f.hub.JoinOnScreen(QSize(40, 10));
    ASSERT_TRUE(f.Open(TtyrecBytes(NumberedFrames(2))));
    FakeViewer watching(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&watching);
    f.Tick();  // something shown, which the live start clears

    // What the file holds is played unseen, and reaches the viewer as a newcomer's screen.
    const std::vector<TestFrame> live = {{0, 0, "\x1b[1mlive\r\n"}, {1, 0, "\x1b[32mgreen"}};
    RecordingFolder folder;
    const QString path = folder.Write(QStringLiteral("live"), TtyrecBytes(live));
    const qsizetype before = watching.received.size();
    f.player.StartLive(growing::OpenGrowingSource(OpenForReading(path), growing::Format::Ttyrec),
                       QStringLiteral("live"));
    EXPECT_EQ(watching.received.mid(before), kTerminalReset + RepaintAfter(live, 2, QSize(40, 10)));
}

}  // namespace

// Under "local" only viewers on this machine steer, under "nobody" none does; the keys of
// the others are still decoded, so a telnet command split across their reads is never
// taken for keys once a viewer may steer, and nothing of theirs moves the playback.
TEST(ViewerHub, OnlyViewersTheControlModeNamesSteer)
{
    HubFixture f;
    ASSERT_TRUE(f.Open(TtyrecBytes({{0, 0, "A"}, {1000, 0, "B"}, {2000, 0, "C"}})));
    f.hub.SetControl(ControlMode::Local);
    FakeViewer local(f.hub, ViewerConnection::Encoding::Telnet, QStringLiteral("127.0.0.5"));
    FakeViewer mapped(f.hub, ViewerConnection::Encoding::Raw, QStringLiteral("::ffff:127.0.0.1"));
    FakeViewer remote(f.hub, ViewerConnection::Encoding::Raw, QStringLiteral("192.0.2.1"));
    FakeViewer unknown(f.hub, ViewerConnection::Encoding::Raw, QString());
    for (FakeViewer* viewer : {&local, &mapped, &remote, &unknown}) {
        f.hub.Join(viewer);
    }
    f.hub.Received(&remote, "ff x");
    f.hub.Received(&unknown, "f\r");
    EXPECT_EQ(f.speed.speed, 1);
    EXPECT_EQ(remote.received, QByteArray());
    f.hub.Received(&local, "f");
    f.hub.Received(&mapped, "f");
    EXPECT_EQ(f.speed.speed, 4);

    f.hub.SetControl(ControlMode::Nobody);
    FakeViewer later(f.hub, ViewerConnection::Encoding::Raw, QStringLiteral("127.0.0.1"));
    f.hub.Join(&later);
    f.hub.Received(&later, "1 ");
    EXPECT_EQ(f.speed.speed, 4);
    EXPECT_EQ(later.received, QByteArray());
    EXPECT_FALSE(f.hub.MaySteer(QHostAddress(QStringLiteral("127.0.0.1"))));
}

// Past the cap a newcomer is told so and closed without a greeting or a frame; those
// watching keep everything, and a place freed is taken again.
TEST(ViewerHub, ANewcomerPastTheCapIsTurnedAwayAndTheOthersStay)
{
    HubFixture f;
    ASSERT_TRUE(f.Open(TtyrecBytes({{0, 0, "A"}, {1000, 0, "B"}})));
    f.hub.SetMaxViewers(2);
    FakeViewer first(f.hub, ViewerConnection::Encoding::Telnet);
    FakeViewer second(f.hub, ViewerConnection::Encoding::Raw);
    FakeViewer third(f.hub, ViewerConnection::Encoding::Telnet);
    f.hub.Join(&first);
    f.hub.Join(&second);
    f.Tick();
    const int changes = f.changes;
    f.hub.Join(&third);
    EXPECT_FALSE(third.IsConnected());
    EXPECT_TRUE(third.turnedAway.contains(QLatin1String("2 viewers")))
        << third.turnedAway.toStdString();
    EXPECT_EQ(third.received, QByteArray());
    EXPECT_EQ(f.hub.ViewerCount(), 2);
    EXPECT_EQ(f.changes, changes);
    f.Tick();
    EXPECT_EQ(second.received, QByteArray("AB"));

    second.Close();
    FakeViewer fourth(f.hub, ViewerConnection::Encoding::Raw);
    f.hub.Join(&fourth);
    EXPECT_TRUE(fourth.IsConnected());
    EXPECT_TRUE(fourth.turnedAway.isEmpty());
    EXPECT_EQ(f.hub.ViewerCount(), 2);
}
