#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>

// Which pages may open the viewer stream. A browser names the page's origin
// (scheme://host[:port]) in its WebSocket request. Neither the page's host name nor the
// request's Host header proves anything: DNS rebinding points any name at this machine,
// and Host then carries that same name. So only hosts the program knows for its own pass:
// the address the connection reached, the loopback names, and the names the operator
// gives.
struct OriginPolicy
{
    // The web port: an origin on another port is another program's page.
    int webPort = 0;
    // Hosts the operator named, as given: "name" (on the web port, or on the scheme's
    // standard port, where a proxy in front serves the page) or "name:port" (exactly).
    QByteArrayList namedHosts;
};

// A host the operator may name: a name or an IPv4 address, or an IPv6 one in brackets,
// with an optional port from 1 to 65535. Stored in lower case by the caller.
bool IsValidOriginHost(QByteArrayView text);

// True when a WebSocket request whose Origin headers are `origins` may open the stream on
// a connection that reached `localAddress` (dotted IPv4): no Origin at all (not a
// browser), or exactly one, http or https in any case, naming an allowed host.
bool OriginAllowed(const QByteArrayList& origins, QByteArrayView localAddress,
                   const OriginPolicy& policy);
