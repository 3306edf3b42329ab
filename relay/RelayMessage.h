#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSize>
#include <QString>
#include <cstdint>
#include <optional>

#include "playback/io.h"

// What a leader and its relays say to each other through NATS, one message each, in a
// small binary form: a version byte, a kind byte, then the kind's fields big-endian, and
// the kind's bytes or text last, up to the message's end. Decoding never trusts a message:
// whatever arrives on a channel's subjects may come from anyone who can publish there.
struct RelayMessage
{
    enum class Kind : char
    {
        // A recording begins: every frame after it belongs to it. Carries the epoch that
        // numbers it, its first timestamp, its terminal size (empty when it states none),
        // the speed, and its title. `again` marks a recording sent afresh after frames
        // were lost, which a relay's viewers see from a reset.
        Recording = 'R',
        // One broadcast: the recorded bytes, the recording's time of its last frame, and its
        // place in the recording (0, 1, 2, ...) so that a relay sees what it missed.
        Frame = 'F',
        Speed = 'S',
        // The leader's recording panel changed (its end, a failure).
        FileText = 'T',
        // A relay's viewer typed a key: `key` and, for SetSpeed, `speed`; `sender` names the
        // relay.
        Key = 'K',
        // A relay's viewer count, sent periodically; `sender` names the relay.
        Viewers = 'V',
        // The leader is alive; `viewers` is the total it counts on every relay and itself.
        Heartbeat = 'H',
    };
    // What a relay's viewer asked for, as the leader applies it.
    enum class KeyAction : uint8_t
    {
        Faster = 1,
        Slower = 2,
        NormalSpeed = 3,
        NextFrame = 4,
        SetSpeed = 5,
    };

    Kind kind = Kind::Heartbeat;
    uint32_t epoch = 0;
    bool again = false;
    io::FrameTime time;  // Recording: the first timestamp; Frame: the last frame's
    QSize terminalSize;
    int speed = 1;
    QString text;  // Recording: the title; FileText: the panel's text
    uint64_t seq = 0;
    QByteArray bytes;  // Frame: as recorded
    KeyAction key = KeyAction::NextFrame;
    QByteArray sender;
    uint32_t viewers = 0;
};

// The largest relay name a message may carry.
inline constexpr qsizetype kMaxSenderBytes = 64;
// The largest terminal side a message may state; larger ones are refused whole.
inline constexpr int kMaxRelayedTerminalSide = 10000;

QByteArray EncodeRelayMessage(const RelayMessage& message);
// None for anything that is not a whole message of a known kind with sound fields.
std::optional<RelayMessage> DecodeRelayMessage(QByteArrayView bytes);
