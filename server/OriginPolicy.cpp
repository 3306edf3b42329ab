#include "server/OriginPolicy.h"

#include <optional>

namespace {

struct Origin
{
    QByteArray scheme;  // lower case
    QByteArray host;    // lower case; an IPv6 address keeps its brackets
    int port = 0;
    bool portGiven = false;
};

// A port in decimal, 1 to 65535, no sign or blanks.
std::optional<int> ParsePort(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 5) {
        return std::nullopt;
    }
    int port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535 ? std::optional<int>(port) : std::nullopt;
}

// Letters, digits, '-' and '.' for a name or an IPv4 address; hex digits, ':' and '.' in
// brackets for IPv6.
bool IsHostText(QByteArrayView host)
{
    if (host.isEmpty()) {
        return false;
    }
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        for (const char c : host.sliced(1, host.size() - 2)) {
            const bool hex =
                (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex && c != ':' && c != '.') {
                return false;
            }
        }
        return true;
    }
    for (const char c : host) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                        (c >= 'A' && c <= 'Z') || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// "host" or "host:port"; the host in lower case.
std::optional<std::pair<QByteArray, std::optional<int>>> SplitHostPort(QByteArrayView text)
{
    const qsizetype bracket = text.lastIndexOf(']');
    const qsizetype colon = text.lastIndexOf(':');
    QByteArrayView host = text;
    std::optional<int> port;
    if (colon >= 0 && colon > bracket && (bracket >= 0 || text.indexOf(':') == colon)) {
        port = ParsePort(text.sliced(colon + 1));
        if (!port) {
            return std::nullopt;
        }
        host = text.first(colon);
    }
    if (!IsHostText(host)) {
        return std::nullopt;
    }
    return std::pair{host.toByteArray().toLower(), port};
}

// An origin as browsers serialise it: scheme "://" host [":" port], nothing after.
std::optional<Origin> ParseOrigin(QByteArrayView text)
{
    const qsizetype separator = text.indexOf("://");
    if (separator <= 0) {
        return std::nullopt;
    }
    Origin origin;
    origin.scheme = text.first(separator).toByteArray().toLower();
    if (origin.scheme != "http" && origin.scheme != "https") {
        return std::nullopt;
    }
    const auto hostPort = SplitHostPort(text.sliced(separator + 3));
    if (!hostPort) {
        return std::nullopt;
    }
    origin.host = hostPort->first;
    origin.portGiven = hostPort->second.has_value();
    origin.port = hostPort->second.value_or(origin.scheme == "https" ? 443 : 80);
    return origin;
}

// 127.0.0.0/8 written as browsers write it: four decimal parts.
bool IsLoopbackIPv4(QByteArrayView host)
{
    const QList<QByteArray> parts = host.toByteArray().split('.');
    if (parts.size() != 4 || parts[0] != "127") {
        return false;
    }
    for (const QByteArray& part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok);
        if (!ok || part.isEmpty() || part.size() > 3 || value > 255 || part.startsWith('+')) {
            return false;
        }
    }
    return true;
}

bool IsOwnHost(const QByteArray& host, QByteArrayView localAddress)
{
    return host == "localhost" || host == "[::1]" || IsLoopbackIPv4(host) ||
           (!localAddress.isEmpty() && host == localAddress);
}

bool IsNamedHost(const Origin& origin, const OriginPolicy& policy)
{
    for (const QByteArray& named : policy.namedHosts) {
        const auto hostPort = SplitHostPort(named);
        if (!hostPort || hostPort->first != origin.host) {
            continue;
        }
        if (hostPort->second ? origin.port == *hostPort->second
                             : origin.port == policy.webPort || !origin.portGiven) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsValidOriginHost(QByteArrayView text)
{
    return SplitHostPort(text).has_value();
}

bool OriginAllowed(const QByteArrayList& origins, QByteArrayView localAddress,
                   const OriginPolicy& policy)
{
    if (origins.isEmpty()) {
        return true;
    }
    if (origins.size() != 1) {
        return false;
    }
    const std::optional<Origin> origin = ParseOrigin(origins.front());
    if (!origin) {
        return false;
    }
    if (IsOwnHost(origin->host, localAddress) && origin->port == policy.webPort) {
        return true;
    }
    return IsNamedHost(*origin, policy);
}
