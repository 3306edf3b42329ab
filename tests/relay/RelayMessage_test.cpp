// The messages of a channel: each kind comes back as it was sent, and nothing that is not a
// sound message of a known kind is taken, whoever published it.
#include "relay/RelayMessage.h"

#include <gtest/gtest.h>

#include "relay/ChannelNames.h"

namespace {

using Kind = RelayMessage::Kind;

RelayMessage Message(Kind kind)
{
    RelayMessage message;
    message.kind = kind;
    message.epoch = 0xA1B2C3D4;
    message.again = true;
    message.time = {-5, 999999};
    message.terminalSize = QSize(132, 43);
    message.speed = 64;
    message.text = QStringLiteral("séance \"1\".ttyrec (2/5)");
    message.seq = 0x0102030405060708ULL;
    message.bytes = QByteArray("\xff\x00\x1b[0m", 6);
    message.key = RelayMessage::KeyAction::SetSpeed;
    message.sender = "host:123:beef";
    message.viewers = 4000000000U;
    return message;
}

TEST(RelayMessage, EveryKindComesBackWithItsFields)
{
    for (const Kind kind : {Kind::Recording, Kind::Frame, Kind::Speed, Kind::FileText, Kind::Key,
                            Kind::Viewers, Kind::Heartbeat}) {
        const RelayMessage sent = Message(kind);
        const std::optional<RelayMessage> got = DecodeRelayMessage(EncodeRelayMessage(sent));
        ASSERT_TRUE(got) << static_cast<char>(kind);
        EXPECT_EQ(got->kind, kind);
        switch (kind) {
            case Kind::Recording:
                EXPECT_EQ(got->epoch, sent.epoch);
                EXPECT_TRUE(got->again);
                EXPECT_EQ(got->time, sent.time);
                EXPECT_EQ(got->terminalSize, sent.terminalSize);
                EXPECT_EQ(got->speed, sent.speed);
                EXPECT_EQ(got->text, sent.text);
                break;
            case Kind::Frame:
                EXPECT_EQ(got->epoch, sent.epoch);
                EXPECT_EQ(got->seq, sent.seq);
                EXPECT_EQ(got->time, sent.time);
                EXPECT_EQ(got->bytes, sent.bytes);
                break;
            case Kind::Speed:
                EXPECT_EQ(got->speed, sent.speed);
                break;
            case Kind::FileText:
                EXPECT_EQ(got->text, sent.text);
                break;
            case Kind::Key:
                EXPECT_EQ(got->key, sent.key);
                EXPECT_EQ(got->speed, sent.speed);
                EXPECT_EQ(got->sender, sent.sender);
                break;
            case Kind::Viewers:
            case Kind::Heartbeat:
                EXPECT_EQ(got->viewers, sent.viewers);
                EXPECT_EQ(got->sender, kind == Kind::Viewers ? sent.sender : QByteArray());
                break;
        }
    }
    // A recording that states no size says so.
    RelayMessage unsized = Message(Kind::Recording);
    unsized.terminalSize = QSize();
    EXPECT_TRUE(DecodeRelayMessage(EncodeRelayMessage(unsized))->terminalSize.isEmpty());
}

TEST(RelayMessage, CutOrUnsoundMessagesAreRefused)
{
    // Cut inside the fixed fields, for every kind (the last field runs to the end, so only
    // the fixed part can be cut short).
    const std::pair<Kind, int> fixedParts[] = {{Kind::Recording, 2 + 4 + 1 + 8 + 4 + 1},
                                               {Kind::Frame, 2 + 4 + 8 + 8},
                                               {Kind::Speed, 2 + 1},
                                               {Kind::Key, 2 + 2 + 1},
                                               {Kind::Viewers, 2 + 4 + 1},
                                               {Kind::Heartbeat, 2 + 4}};
    for (const auto& [kind, fixed] : fixedParts) {
        const QByteArray whole = EncodeRelayMessage(Message(kind));
        for (int cut = 0; cut < fixed; ++cut) {
            EXPECT_FALSE(DecodeRelayMessage(whole.left(cut)))
                << static_cast<char>(kind) << " cut at " << cut;
        }
    }
    auto refused = [](RelayMessage message) {
        return !DecodeRelayMessage(EncodeRelayMessage(message));
    };
    RelayMessage message = Message(Kind::Speed);
    message.speed = 0;
    EXPECT_TRUE(refused(message));
    message.speed = 101;
    EXPECT_TRUE(refused(message));
    message = Message(Kind::Recording);
    message.time.microseconds = 1000000;
    EXPECT_TRUE(refused(message));
    message = Message(Kind::Recording);
    message.terminalSize = QSize(kMaxRelayedTerminalSide + 1, 24);
    EXPECT_TRUE(refused(message));
    message = Message(Kind::Key);
    message.sender = QByteArray(kMaxSenderBytes + 1, 'x');
    EXPECT_TRUE(refused(message));
    message.sender.clear();
    EXPECT_TRUE(refused(message));
    message = Message(Kind::Key);
    message.key = static_cast<RelayMessage::KeyAction>(9);
    EXPECT_TRUE(refused(message));

    QByteArray bytes = EncodeRelayMessage(Message(Kind::Heartbeat));
    EXPECT_FALSE(DecodeRelayMessage(QByteArray(bytes + 'x')));  // trailing bytes
    bytes[0] = 2;
    EXPECT_FALSE(DecodeRelayMessage(bytes));  // another version
    EXPECT_FALSE(DecodeRelayMessage(QByteArray("\x01Z", 2)));
    // One side of a size without the other.
    bytes = EncodeRelayMessage(Message(Kind::Recording));
    bytes[2 + 4 + 1 + 8] = 0;
    bytes[2 + 4 + 1 + 8 + 1] = 0;
    EXPECT_FALSE(DecodeRelayMessage(bytes));
}

TEST(ChannelNames, NamesAreMadeValidOrRefused)
{
    const std::optional<ChannelNames> plain = ChannelNamesFor("demo-1_x", nullptr);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->stream, "OMBRIX_demo-1_x");
    EXPECT_EQ(plain->playSubject, "ombrix.demo-1_x.play");
    EXPECT_EQ(plain->keysSubject, "ombrix.demo-1_x.keys");
    EXPECT_EQ(ChannelNamesFor("a.b c/d>*", nullptr)->channel, "a_b_c_d__");
    EXPECT_EQ(ChannelNamesFor("\xe6\x97\xa5"
                              "1",
                              nullptr)
                  ->channel,
              "___1");
    EXPECT_TRUE(ChannelNamesFor(QByteArray(kMaxChannelNameBytes, 'a'), nullptr));
    QString error;
    for (const QByteArray& bad :
         {QByteArray(), QByteArray("..."), QByteArray("-_"), QByteArray("\xe6\x97\xa5"),
          QByteArray(kMaxChannelNameBytes + 1, 'a')}) {
        EXPECT_FALSE(ChannelNamesFor(bad, &error)) << bad.constData();
        EXPECT_TRUE(error.startsWith(QStringLiteral("--channel needs"))) << error.toStdString();
    }
}

}  // namespace
