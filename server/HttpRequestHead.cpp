#include "server/HttpRequestHead.h"

#include <QList>

namespace {
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

// True when the comma-separated header value holds the token, in any case.
bool HasToken(QByteArrayView value, QByteArrayView token)
{
    for (const QByteArray& item : value.toByteArray().split(',')) {
        if (Trimmed(item).compare(token, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

bool ParseRequestLine(QByteArrayView line, HttpRequestHead* request)
{
    const QList<QByteArray> parts = line.toByteArray().split(' ');
    if (parts.size() != 3 || parts[0].isEmpty() || !parts[1].startsWith('/') ||
        !parts[2].startsWith("HTTP/1.")) {
        return false;
    }
    request->method = parts[0];
    const qsizetype query = parts[1].indexOf('?');
    request->path = query < 0 ? parts[1] : parts[1].left(query);
    return true;
}
}  // namespace

HttpHeadState FindRequestHeadEnd(QByteArrayView received, qsizetype* headEnd)
{
    const qsizetype blank = received.indexOf(QByteArrayView("\r\n\r\n"));
    if (blank >= 0 && blank + 4 <= kMaxRequestHeadBytes) {
        *headEnd = blank + 4;
        return HttpHeadState::Complete;
    }
    return received.size() >= kMaxRequestHeadBytes ? HttpHeadState::TooLarge
                                                   : HttpHeadState::Incomplete;
}

bool ParseRequestHead(QByteArrayView head, HttpRequestHead* request)
{
    *request = HttpRequestHead{};
    bool upgradeWebSocket = false;
    bool connectionUpgrade = false;
    bool first = true;
    for (const QByteArray& line : head.toByteArray().split('\n')) {
        const QByteArrayView text = QByteArrayView(line).endsWith('\r')
                                        ? QByteArrayView(line).chopped(1)
                                        : QByteArrayView(line);
        if (first) {
            if (!ParseRequestLine(text, request)) {
                return false;
            }
            first = false;
            continue;
        }
        if (text.isEmpty()) {
            continue;
        }
        const qsizetype colon = text.indexOf(':');
        if (colon <= 0) {
            return false;
        }
        const QByteArrayView name = text.first(colon);
        const QByteArrayView value = Trimmed(text.sliced(colon + 1));
        if (name.compare("Host", Qt::CaseInsensitive) == 0) {
            request->host = value.toByteArray();
        } else if (name.compare("Origin", Qt::CaseInsensitive) == 0) {
            request->origins.append(value.toByteArray());
        } else if (name.compare("X-Forwarded-For", Qt::CaseInsensitive) == 0) {
            request->forwarding.forwardedFor.append(value.toByteArray());
        } else if (name.compare("X-Real-IP", Qt::CaseInsensitive) == 0) {
            request->forwarding.realIp.append(value.toByteArray());
        } else if (name.compare("Upgrade", Qt::CaseInsensitive) == 0) {
            upgradeWebSocket = HasToken(value, "websocket");
        } else if (name.compare("Connection", Qt::CaseInsensitive) == 0) {
            connectionUpgrade = HasToken(value, "upgrade");
        }
    }
    request->webSocketUpgrade = upgradeWebSocket && connectionUpgrade;
    return !first;
}
