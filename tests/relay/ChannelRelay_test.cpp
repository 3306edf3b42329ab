// A relay against a real nats-server, fed by hand-made messages in its channel's stream:
// it starts mid-recording from what the stream holds, and when frames are missing it reads
// the recording again after a terminal reset, once, taking a hole the stream itself has,
// and shows it to its viewers as to newcomers once it has all of it.
#include "relay/ChannelRelay.h"

#include <gtest/gtest.h>

#include "common/Texts.h"
#include "support/LoopbackClient.h"
#include "support/NatsServer.h"

namespace {

// What reaches the viewers, in order: broadcasts as their bytes, recording changes as "|",
// frames played unseen in brackets, and viewers shown the present as newcomers as "R".
class ViewersLog final : public FrameOutput
{
public:
    void Broadcast(const QByteArray& recorded) override { log += recorded; }
    bool HasViewers() const override { return true; }
    void RecordingChanged() override { log += '|'; }
    void PlayedUnseen(const QByteArray& recorded) override { log += '[' + recorded + ']'; }
    void RejoinViewers() override { log += 'R'; }
    QByteArray log;
};

class StatusLog final : public PlaybackStatus
{
public:
    void SetStatusFile(const QString& text) override { file = text; }
    void SetStatusTime(const QString& text) override { time = text; }
    void RecordingStarted(const QString& title, std::optional<QSize> size) override
    {
        started = title;
        terminalSize = size;
    }
    QString file, time, started;
    std::optional<QSize> terminalSize;
};

class ChannelRelayTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!NatsServer::Available()) {
            GTEST_SKIP() << "Debian's nats-server is not installed";
        }
        ASSERT_TRUE(nats.Start()) << nats.Log().toStdString();
        QString error;
        ASSERT_TRUE(publisher.Connect(nats.Url(), &error)) << error.toStdString();
        jsStreamConfig config;
        jsStreamConfig_Init(&config);
        config.Name = names.stream.constData();
        const char* subjects[] = {names.playSubject.constData()};
        config.Subjects = subjects;
        config.SubjectsLen = 1;
        config.AllowRollup = true;
        jsStreamInfo* info = nullptr;
        ASSERT_EQ(js_AddStream(&info, publisher.JetStream(), &config, nullptr, nullptr), NATS_OK);
        jsStreamInfo_Destroy(info);
    }

    void Recording(uint32_t epoch, bool again = false)
    {
        RelayMessage message;
        message.kind = RelayMessage::Kind::Recording;
        message.epoch = epoch;
        message.again = again;
        message.time = {100, 0};
        message.terminalSize = QSize(100, 30);
        message.text = QStringLiteral("show.ttyrec");
        ASSERT_TRUE(publisher.PublishRollup(names.playSubject, EncodeRelayMessage(message)));
    }
    void Frame(uint32_t epoch, uint64_t seq, const QByteArray& bytes)
    {
        RelayMessage message;
        message.kind = RelayMessage::Kind::Frame;
        message.epoch = epoch;
        message.seq = seq;
        message.time = {103, 500000};
        message.bytes = bytes;
        ASSERT_TRUE(publisher.Publish(names.playSubject, EncodeRelayMessage(message)));
    }
    bool LogBecomes(const QByteArray& expected)
    {
        LoopbackClient::PumpUntil([&] { return viewers.log == expected; }, 5000);
        return viewers.log == expected;
    }

    NatsServer nats;
    NatsLink publisher;
    ChannelNames names = *ChannelNamesFor("t", nullptr);
    ViewersLog viewers;
    StatusLog status;
};

TEST_F(ChannelRelayTest, StartsMidRecordingAndReadsAgainAfterAGap)
{
    Recording(7);
    Frame(7, 0, "a");
    Frame(7, 1, "b");
    ChannelRelay relay(viewers, status, names);
    QString error;
    ASSERT_TRUE(relay.Start(nats.Url(), &error)) << error.toStdString();
    ASSERT_TRUE(LogBecomes("|ab")) << viewers.log.constData();
    EXPECT_EQ(status.started, QStringLiteral("show.ttyrec"));
    EXPECT_EQ(status.terminalSize, QSize(100, 30));
    EXPECT_EQ(status.time, QStringLiteral("3秒"));
    EXPECT_EQ(status.file, Texts::WaitingForLeader);  // frames, but no heartbeat yet

    Frame(7, 2, "c");
    Frame(7, 2, "c");  // the same again: nothing
    publisher.Publish(names.playSubject,
                      "\x01"
                      "F garbage");  // not a message: nothing
    Frame(7, 4, "e");                // 3 is missing, from the stream as well
    // A reset, then the recording read again from its start (seen again: a second change)
    // and held; the hole the stream has is taken as it is. Once the stream has no more, the
    // viewers are shown it as newcomers, and what follows goes on.
    ASSERT_TRUE(
        LogBecomes("|abc\x1b"
                   "c||[a][b][c][e]R"))
        << viewers.log.constData();
    EXPECT_EQ(relay.FramesPlayed(), 4);
    Frame(7, 5, "f");
    ASSERT_TRUE(
        LogBecomes("|abc\x1b"
                   "c||[a][b][c][e]Rf"));

    // The leader sent the recording afresh (it lost frames): a reset, then all of it.
    Recording(8, true);
    Frame(8, 0, "ABC");
    ASSERT_TRUE(
        LogBecomes("|abc\x1b"
                   "c||[a][b][c][e]Rf|\x1b"
                   "cABC"));
    std::unique_ptr<FrameCursor> cursor = relay.NewCatchUpCursor();
    io::FrameHeader header;
    QByteArray body;
    ASSERT_EQ(cursor->Next(header, body), io::FrameReadStatus::Frame);
    EXPECT_EQ(body, "ABC");
}

}  // namespace
