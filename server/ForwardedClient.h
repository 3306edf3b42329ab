#pragma once

#include <QByteArrayList>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QPair>

#include "server/HttpRequestHead.h"

// The proxies the operator trusts to say who their clients are: behind a proxy every
// client connects from the proxy's address, so the address it forwards is the only way to
// tell a visitor from this machine. Anyone else's forwarding headers are ignored: a
// client may write whatever it likes in them.
class TrustedProxies
{
public:
    // An address ("127.0.0.1", "::1") or a network ("10.0.0.0/8"); false when it is
    // neither, and nothing is added.
    bool Add(QByteArrayView text);
    bool IsEmpty() const { return networks_.isEmpty(); }
    bool Contains(const QHostAddress& address) const;

private:
    QList<QPair<QHostAddress, int>> networks_;
};

// The address of the client a request comes from: the peer itself, unless the peer is a
// trusted proxy that names another. X-Forwarded-For is read from its right, where the
// nearest proxy appends, past every trusted proxy, to the first address that is not one;
// without it, a single X-Real-IP. A forwarded value that is not an address gives a null
// address: a client that cannot be placed.
QHostAddress ForwardedClient(const QHostAddress& peer, const ForwardingHeaders& headers,
                             const TrustedProxies& trusted);

// One forwarded address: "1.2.3.4", "1.2.3.4:5678", "2001:db8::1" or "[2001:db8::1]:5678".
// A null address for anything else ("unknown", a name, an obfuscated token).
QHostAddress ParseForwardedAddress(QByteArrayView text);
