#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <optional>

// Whose keys steer the one playback: on a public server a stranger holding a key down
// would otherwise skip the recording for everyone.
enum class ControlMode
{
    Everyone,  // any viewer, as in a room of friends
    Local,     // viewers on this machine (a loopback client address)
    Nobody,    // only the window's speed bar
};

// "everyone", "local" or "nobody"; nullopt for anything else.
std::optional<ControlMode> ControlModeNamed(QByteArrayView name);

// 127.0.0.0/8, ::1, and IPv4 loopback addresses written as IPv6 (::ffff:127.x.y.z).
bool IsLoopbackAddress(const QHostAddress& address);

// Whether keys from a viewer whose client is at `origin` may steer. A null origin is a
// client the program cannot place (a proxy forwarded something unreadable): it is never
// local. Keys relayed from elsewhere are judged by the address of the viewer who typed
// them, through this same call.
bool MaySteer(ControlMode mode, const QHostAddress& origin);
