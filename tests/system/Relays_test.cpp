// A leader and its relays as separate programs meeting in a real nats-server: every viewer
// on any of them gets the same bytes, late ones included; keys typed at a relay steer the
// leader; and each of them survives the others' faults and NATS going away.
#include <gtest/gtest.h>

#include <signal.h>

#include <QElapsedTimer>
#include <memory>

#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/NatsServer.h"
#include "support/OmbrixProcess.h"
#include "support/Ttyrec.h"

namespace {

// Frames 0.1 s apart, each with a 0xFF byte that telnet viewers get doubled.
QByteArray Recording(int frames, QByteArray* played)
{
    std::vector<TestFrame> list;
    for (int i = 0; i < frames; ++i) {
        const QByteArray body = "frame " + QByteArray::number(i) + " \xff\r\n";
        list.push_back({i / 10, (i % 10) * 100000, body});
        *played += body;
    }
    return TtyrecBytes(list);
}

// One program of the channel, headless on a free port with its own runtime folder.
struct Member
{
    explicit Member(const QStringList& arguments) : port(FreePort())
    {
        QByteArrayList raw = {"--port", QByteArray::number(port)};
        for (const QString& argument : arguments) {
            raw.append(argument.toUtf8());
        }
        OmbrixLaunch launch;
        launch.arguments = raw;
        process = std::make_unique<OmbrixProcess>(launch);
    }
    bool Ready() { return process->WaitForLinePrefix("connection: ", 10000); }
    int port;
    std::unique_ptr<OmbrixProcess> process;
};

QStringList Leader(const NatsServer& nats, const QString& channel, const QString& recording)
{
    return {QStringLiteral("--publish"), QString::fromUtf8(nats.Url()), QStringLiteral("--channel"),
            channel, recording};
}

QStringList Relay(const NatsServer& nats, const QString& channel)
{
    return {QStringLiteral("--relay"), QString::fromUtf8(nats.Url()), QStringLiteral("--channel"),
            channel};
}

class Relays : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!NatsServer::Available()) {
            GTEST_SKIP() << "Debian's nats-server is not installed";
        }
        ASSERT_TRUE(nats.Start()) << nats.Log().toStdString();
    }
    NatsServer nats;
    RecordingFolder folder;
};

TEST_F(Relays, EveryViewerGetsTheSameBytesAndARelaysKeysSteerTheLeader)
{
    QByteArray played;
    const QString file = folder.Write(QStringLiteral("show.ttyrec"), Recording(60, &played));
    const QByteArray expected = TelnetGreeting + NaiveEscape(played);
    Member leader(Leader(nats, QStringLiteral("show"), file));
    ASSERT_TRUE(leader.Ready()) << leader.process->Errors().toStdString();
    Member first(Relay(nats, QStringLiteral("show")));
    ASSERT_TRUE(first.Ready());
    LoopbackClient atLeader;
    LoopbackClient atFirst;
    ASSERT_TRUE(atLeader.Connect(leader.port));
    ASSERT_TRUE(atFirst.Connect(first.port));
    // A relay that starts mid-recording, and a viewer who joins it later still.
    ASSERT_TRUE(atLeader.WaitForBytes(TelnetGreeting.size() + 150, 10000));
    Member second(Relay(nats, QStringLiteral("show")));
    ASSERT_TRUE(second.Ready());
    ASSERT_TRUE(second.process->WaitForLine(QStringLiteral("file: show.ttyrec"), 10000))
        << second.process->Output().toStdString();
    LoopbackClient late;
    ASSERT_TRUE(late.Connect(second.port));
    EXPECT_TRUE(leader.process->WaitForLine(QStringLiteral("viewers: 3"), 5000))
        << leader.process->Output().toStdString();

    late.Send("+");
    for (Member* member : {&leader, &first, &second}) {
        EXPECT_TRUE(member->process->WaitForLine(QStringLiteral("speed: 2"), 5000))
            << member->process->Output().toStdString();
    }
    // A relay killed: the leader and the other relay notice nothing but the count.
    first.process->Signal(SIGKILL);
    ASSERT_TRUE(atLeader.WaitForBytes(expected.size(), 15000));
    ASSERT_TRUE(late.WaitForBytes(expected.size(), 15000));
    EXPECT_EQ(atLeader.Received(), expected);
    EXPECT_EQ(late.Received(), expected);
    EXPECT_EQ(atFirst.Received(), expected.left(atFirst.Received().size()));
    EXPECT_TRUE(leader.process->WaitForLine(QStringLiteral("viewers: 2"), 8000));
    EXPECT_EQ(leader.process->Stop(), 0);
    EXPECT_EQ(second.process->Stop(), 0);
}

TEST_F(Relays, NatsGoingAwayCostsNoViewerAByte)
{
    QByteArray played;
    const QString file = folder.Write(QStringLiteral("long.ttyrec"), Recording(80, &played));
    const QByteArray expected = TelnetGreeting + NaiveEscape(played);
    Member leader(Leader(nats, QStringLiteral("long"), file));
    ASSERT_TRUE(leader.Ready()) << leader.process->Errors().toStdString();
    Member relay(Relay(nats, QStringLiteral("long")));
    ASSERT_TRUE(relay.Ready());
    LoopbackClient atLeader;
    LoopbackClient atRelay;
    ASSERT_TRUE(atLeader.Connect(leader.port));
    ASSERT_TRUE(atRelay.Connect(relay.port));
    ASSERT_TRUE(atRelay.WaitForBytes(TelnetGreeting.size() + 100, 10000));
    ASSERT_TRUE(relay.process->WaitForLine(QStringLiteral("file: long.ttyrec"), 5000));

    nats.Stop();
    const qsizetype atStop = atLeader.Received().size();
    ASSERT_TRUE(relay.process->WaitForLineCount(QStringLiteral("file: リーダー待ち..."), 2, 5000))
        << relay.process->Output().toStdString();
    // The leader's own viewer goes on meanwhile.
    ASSERT_TRUE(atLeader.WaitForBytes(atStop + 100, 5000));
    // Said once, however long NATS stays away; a loaded machine may take a moment.
    EXPECT_TRUE(LoopbackClient::PumpUntil(
        [&] { return leader.process->Errors().contains(QStringLiteral("lost NATS")); }, 5000));
    EXPECT_EQ(leader.process->Errors().count(QStringLiteral("lost NATS")), 1)
        << leader.process->Errors().toStdString();

    ASSERT_TRUE(nats.Start()) << nats.Log().toStdString();
    ASSERT_TRUE(relay.process->WaitForLineCount(QStringLiteral("file: long.ttyrec"), 2, 15000))
        << relay.process->Output().toStdString() << relay.process->Errors().toStdString();
    ASSERT_TRUE(atLeader.WaitForBytes(expected.size(), 15000));
    ASSERT_TRUE(atRelay.WaitForBytes(expected.size(), 15000));
    EXPECT_FALSE(atRelay.PeerClosed());
    EXPECT_EQ(atLeader.Received(), expected);
    EXPECT_EQ(atRelay.Received(), expected);
    EXPECT_EQ(leader.process->Stop(), 0);
    EXPECT_EQ(relay.process->Stop(), 0);
}

TEST_F(Relays, OneLeaderAChannelAndRelaysOutliveIt)
{
    QByteArray played;
    const QString file = folder.Write(QStringLiteral("one.ttyrec"), Recording(600, &played));
    Member leader(Leader(nats, QStringLiteral("one"), file));
    ASSERT_TRUE(leader.Ready()) << leader.process->Errors().toStdString();
    Member relay(Relay(nats, QStringLiteral("one")));
    ASSERT_TRUE(relay.Ready());
    LoopbackClient atRelay;
    ASSERT_TRUE(atRelay.Connect(relay.port));
    ASSERT_TRUE(relay.process->WaitForLine(QStringLiteral("file: one.ttyrec"), 5000));

    Member second(Leader(nats, QStringLiteral("one"), file));
    EXPECT_EQ(second.process->WaitForExit(10000), 1);
    EXPECT_TRUE(second.process->Errors().contains(QStringLiteral("already has a leader")))
        << second.process->Errors().toStdString();

    // A killed leader: the relay keeps its viewer and waits; a new leader can take the
    // channel once the old one's claim has expired, and the viewer sees it play.
    leader.process->Signal(SIGKILL);
    ASSERT_TRUE(relay.process->WaitForLineCount(QStringLiteral("file: リーダー待ち..."), 2, 8000))
        << relay.process->Output().toStdString() << relay.process->Errors().toStdString();
    atRelay.ReadFor(300);
    const QByteArray before = atRelay.Received();
    EXPECT_EQ(atRelay.ReadFor(300), QByteArray());
    EXPECT_FALSE(atRelay.PeerClosed());
    QByteArray shortPlayed;
    const QString next = folder.Write(QStringLiteral("next.ttyrec"), Recording(5, &shortPlayed));
    std::unique_ptr<Member> successor;
    QElapsedTimer clock;
    clock.start();
    while (!successor && clock.elapsed() < 15000) {
        auto candidate = std::make_unique<Member>(Leader(nats, QStringLiteral("one"), next));
        if (candidate->Ready()) {
            successor = std::move(candidate);
        } else {
            LoopbackClient::Pump(500);
        }
    }
    ASSERT_TRUE(successor);
    const QByteArray expected = before + NaiveEscape(shortPlayed);
    ASSERT_TRUE(atRelay.WaitForBytes(expected.size(), 10000));
    EXPECT_EQ(atRelay.Received(), expected);
    EXPECT_TRUE(relay.process->WaitForLine(QStringLiteral("file: next.ttyrec"), 5000));
    EXPECT_EQ(successor->process->Stop(), 0);
    EXPECT_EQ(relay.process->Stop(), 0);
}

}  // namespace
