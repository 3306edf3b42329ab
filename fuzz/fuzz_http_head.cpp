// Any bytes as what a browser's connection has sent so far, through the web port's head
// reader: where the head ends must agree with a search written the simple way, a head read
// at any cut must never end sooner, a parsed request must hold only what the request
// line allows, and its Origin headers pass the origin check only when they name a host
// the program knows.
#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/HttpRequestHead.h"
#include "server/OriginPolicy.h"

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

// The index just past the first CR LF CR LF, or -1.
qsizetype NaiveHeadEnd(const QByteArray& bytes)
{
    for (qsizetype i = 0; i + 4 <= bytes.size(); ++i) {
        if (std::memcmp(bytes.constData() + i, "\r\n\r\n", 4) == 0) {
            return i + 4;
        }
    }
    return -1;
}

void CheckHeadEnd(const QByteArray& received)
{
    qsizetype end = -1;
    const HttpHeadState state = FindRequestHeadEnd(received, &end);
    const qsizetype naive = NaiveHeadEnd(received);
    if (naive >= 0 && naive <= kMaxRequestHeadBytes) {
        Check(state == HttpHeadState::Complete && end == naive, "the head ends at its blank line");
    } else if (received.size() >= kMaxRequestHeadBytes) {
        Check(state == HttpHeadState::TooLarge, "a head past the bound is too large");
    } else {
        Check(state == HttpHeadState::Incomplete, "a head without its blank line waits");
    }
}

void CheckParse(const QByteArray& head)
{
    HttpRequestHead request{"stale", "/stale", "stale", {"stale"}, true, {{"stale"}, {"stale"}}};
    const bool ok = ParseRequestHead(head, &request);
    HttpRequestHead again;
    Check(ParseRequestHead(head, &again) == ok, "parsing twice gives the same answer");
    if (!ok) {
        return;
    }
    Check(!request.method.isEmpty() && !request.method.contains(' '), "a method, one word");
    Check(
        request.path.startsWith('/') && !request.path.contains('?') && !request.path.contains(' '),
        "a path without its query");
    Check(!request.host.contains('\n') &&
              std::none_of(request.origins.begin(), request.origins.end(),
                           [](const QByteArray& origin) { return origin.contains('\n'); }),
          "a header value is one line");
    Check(request.method == again.method && request.path == again.path &&
              request.host == again.host && request.origins == again.origins &&
              request.webSocketUpgrade == again.webSocketUpgrade &&
              request.forwarding.forwardedFor == again.forwarding.forwardedFor &&
              request.forwarding.realIp == again.forwarding.realIp,
          "nothing of an earlier request is kept");
}

// Whatever the Origin headers say, a page passes only with one origin that names a host
// the program knows, on a port it allows.
void CheckOrigin(const HttpRequestHead& request)
{
    const OriginPolicy policy{8080, {"public.name", "[::1]:9000"}};
    const bool allowed = OriginAllowed(request.origins, "192.168.1.5", policy);
    Check(allowed == OriginAllowed(request.origins, "192.168.1.5", policy),
          "the same origins, the same answer");
    if (!allowed || request.origins.isEmpty()) {
        return;
    }
    Check(request.origins.size() == 1, "one origin at most");
    const QByteArray origin = request.origins.front().toLower();
    Check(origin.startsWith("http://") || origin.startsWith("https://"), "a web page's scheme");
    const QByteArray rest = origin.mid(origin.indexOf("://") + 3);
    bool known = false;
    for (const char* host : {"localhost", "127.", "[::1]", "192.168.1.5", "public.name"}) {
        known = known || rest.startsWith(host);
    }
    Check(known, "a host the program knows");
    Check(!rest.contains('/') && !rest.contains('@'), "nothing but host and port");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The server peeks at most the bound; the fuzzer may offer a little more.
    const QByteArray received(
        reinterpret_cast<const char*>(data),
        static_cast<qsizetype>(std::min<size_t>(size, 2 * kMaxRequestHeadBytes)));
    CheckHeadEnd(received);
    // As the bytes trickle in: no cut is a head that ends elsewhere. The last cuts only,
    // so a long input stays quick.
    const qsizetype naive = NaiveHeadEnd(received);
    for (qsizetype cut = received.size() - 1; cut >= 0 && cut >= received.size() - 16; --cut) {
        CheckHeadEnd(received.first(cut));
        qsizetype end = -1;
        Check(FindRequestHeadEnd(received.first(cut), &end) != HttpHeadState::Complete ||
                  end == naive,
              "a cut never moves the end");
    }
    CheckParse(received);
    qsizetype end = -1;
    if (FindRequestHeadEnd(received, &end) == HttpHeadState::Complete) {
        CheckParse(received.first(end));
        HttpRequestHead request;
        if (ParseRequestHead(received.first(end), &request)) {
            CheckOrigin(request);
        }
    }
    // The operator's names come from the command line: any text is checked, not trusted.
    IsValidOriginHost(received.first(std::min<qsizetype>(received.size(), 300)));
    return 0;
}
