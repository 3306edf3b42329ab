#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The NATS names one channel uses, all made from the name the operator gave. JetStream
// names and subject tokens allow no dots, wildcards, spaces or slashes, so every byte
// other than a letter, a digit, '-' and '_' stands as '_': "demo.night" and "demo_night"
// are then the same channel.
struct ChannelNames
{
    QByteArray channel;         // the sanitized name
    QByteArray stream;          // the JetStream stream of the playback
    QByteArray playSubject;     // recordings, frames and speeds, in the stream
    QByteArray keysSubject;     // relays' keys, to the leader
    QByteArray viewersSubject;  // relays' viewer counts, to the leader
    QByteArray leaderSubject;   // the leader's heartbeat, to the relays
    QByteArray lockKey;         // the leader's claim, in the lock bucket
};

// The bucket that holds every channel's leader claim.
inline constexpr const char* kLeaderLockBucket = "ombrix_leaders";
// The longest name a channel may have, after sanitizing.
inline constexpr qsizetype kMaxChannelNameBytes = 64;

// None, with why in `error`, for a name that cannot be made valid: empty, without a
// letter or digit, or too long.
std::optional<ChannelNames> ChannelNamesFor(const QByteArray& name, QString* error);
