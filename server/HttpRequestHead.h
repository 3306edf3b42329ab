#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>

// What a request says about the client behind a proxy (server/ForwardedClient.h).
struct ForwardingHeaders
{
    // Every X-Forwarded-For value, in order; together one list, oldest hop first.
    QByteArrayList forwardedFor;
    // Every X-Real-IP value.
    QByteArrayList realIp;
};

// What the page server needs of one HTTP/1.x request head.
struct HttpRequestHead
{
    QByteArray method;
    QByteArray path;  // the target without its query
    QByteArray host;
    // Every Origin header, in order: a request with two is not one a browser sends.
    QByteArrayList origins;
    // Upgrade: websocket together with Connection: upgrade.
    bool webSocketUpgrade = false;
    // What a proxy in front says about the client; believed only of a trusted proxy.
    ForwardingHeaders forwarding;
};

// Where a request head stands in the bytes received so far.
enum class HttpHeadState
{
    Incomplete,  // no blank line yet, and still within the size bound
    Complete,
    TooLarge,  // no blank line within the bound
};

// Request heads past this are refused: the page's requests are a few hundred bytes.
inline constexpr qsizetype kMaxRequestHeadBytes = 8 * 1024;

// Looks for the blank line that ends the head; headEnd is the index just past it.
HttpHeadState FindRequestHeadEnd(QByteArrayView received, qsizetype* headEnd);

// Reads a complete head (request line, then header lines). False for a head that is not
// an HTTP/1.x request.
bool ParseRequestHead(QByteArrayView head, HttpRequestHead* request);
