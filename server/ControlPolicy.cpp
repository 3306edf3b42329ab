#include "server/ControlPolicy.h"

std::optional<ControlMode> ControlModeNamed(QByteArrayView name)
{
    if (name == "everyone") {
        return ControlMode::Everyone;
    }
    if (name == "local") {
        return ControlMode::Local;
    }
    if (name == "nobody") {
        return ControlMode::Nobody;
    }
    return std::nullopt;
}

bool IsLoopbackAddress(const QHostAddress& address)
{
    bool isIPv4 = false;
    // Also true for an IPv4-mapped IPv6 address, which a dual-stack socket reports.
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        return (ipv4 >> 24) == 127;
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol &&
           address.isEqual(QHostAddress(QHostAddress::LocalHostIPv6),
                           QHostAddress::StrictConversion);
}

bool MaySteer(ControlMode mode, const QHostAddress& origin)
{
    switch (mode) {
        case ControlMode::Everyone:
            return true;
        case ControlMode::Local:
            return !origin.isNull() && IsLoopbackAddress(origin);
        case ControlMode::Nobody:
            return false;
    }
    return false;
}
