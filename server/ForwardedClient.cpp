#include "server/ForwardedClient.h"

#include "platform/SocketCalls.h"

namespace {
QHostAddress Unmapped(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}

QByteArrayView Trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t')) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t')) {
        text.chop(1);
    }
    return text;
}
}  // namespace

bool TrustedProxies::Add(QByteArrayView text)
{
    // The address in its plain numeric form only (inet_pton's): QHostAddress would also
    // take "1.2.3" or a trailing blank, and an operator's typo must not name a proxy.
    const qsizetype slash = text.indexOf('/');
    const QByteArray address = text.first(slash < 0 ? text.size() : slash).toByteArray();
    if (SocketCalls::FamilyOf(address) == 0) {
        return false;
    }
    if (slash >= 0) {
        const QPair<QHostAddress, int> network =
            QHostAddress::parseSubnet(QString::fromLatin1(text));
        if (network.first.isNull()) {
            return false;
        }
        networks_.append(network);
        return true;
    }
    const QHostAddress plain = Unmapped(QHostAddress(QString::fromLatin1(address)));
    networks_.append({plain, plain.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128});
    return true;
}

bool TrustedProxies::Contains(const QHostAddress& address) const
{
    const QHostAddress plain = Unmapped(address);
    for (const auto& network : networks_) {
        if (plain.isInSubnet(network)) {
            return true;
        }
    }
    return false;
}

QHostAddress ParseForwardedAddress(QByteArrayView text)
{
    QByteArrayView value = Trimmed(text);
    if (value.startsWith('[')) {
        const qsizetype close = value.indexOf(']');
        if (close < 0) {
            return QHostAddress();
        }
        value = value.sliced(1, close - 1);
    } else if (value.count(':') == 1) {
        value = value.first(value.indexOf(':'));  // IPv4 with a port
    }
    // Only the plain forms: QHostAddress would also take "1", "0x7f.1" or a scope id.
    for (const char c : value) {
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                             (c >= 'A' && c <= 'F') || c == '.' || c == ':';
        if (!allowed) {
            return QHostAddress();
        }
    }
    if (!value.contains(':') && value.count('.') != 3) {
        return QHostAddress();
    }
    const QHostAddress address(QString::fromLatin1(value));
    return address.isNull() ? QHostAddress() : Unmapped(address);
}

QHostAddress ForwardedClient(const QHostAddress& peer, const ForwardingHeaders& headers,
                             const TrustedProxies& trusted)
{
    if (!trusted.Contains(peer)) {
        return Unmapped(peer);
    }
    QList<QByteArray> hops;
    for (const QByteArray& value : headers.forwardedFor) {
        hops.append(value.split(','));
    }
    if (!hops.isEmpty()) {
        QHostAddress client;
        for (qsizetype i = hops.size() - 1; i >= 0; --i) {
            client = ParseForwardedAddress(hops[i]);
            if (client.isNull() || !trusted.Contains(client)) {
                return client;
            }
        }
        return client;  // every hop a trusted proxy: the first of them asked
    }
    if (headers.realIp.size() == 1) {
        return ParseForwardedAddress(headers.realIp.front());
    }
    return headers.realIp.isEmpty() ? Unmapped(peer) : QHostAddress();
}
