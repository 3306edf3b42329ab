// The request head of the web port: untrusted bytes, so where a head ends, which request
// lines are refused, and how every header the server looks at is read, including the
// forms a browser never sends.
#include "server/HttpRequestHead.h"

#include <gtest/gtest.h>

#include <QStringBuilder>
#include <tuple>

namespace {

const QByteArray kUpgrade =
    "GET /ws?v=1 HTTP/1.1\r\n"
    "Host: 127.0.0.1:8080\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Origin: http://127.0.0.1:8080\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "\r\n";

struct Parsed
{
    bool ok = false;
    HttpRequestHead request;
};

Parsed Parse(const QByteArray& head)
{
    Parsed parsed;
    // Left over from an earlier request: parsing must not keep any of it.
    parsed.request = {"POST", "/old", "old", {"old"}, true, {{"9.9.9.9"}, {"8.8.8.8"}}};
    parsed.ok = ParseRequestHead(head, &parsed.request);
    return parsed;
}

TEST(HttpRequestHead, EndsAtTheFirstBlankLineWhereverTheBytesAreCut)
{
    const QByteArray pipelined = kUpgrade + "GET / HTTP/1.1\r\n\r\n";
    for (qsizetype cut = 0; cut <= pipelined.size(); ++cut) {
        qsizetype end = -1;
        const HttpHeadState state = FindRequestHeadEnd(pipelined.first(cut), &end);
        if (cut < kUpgrade.size()) {
            ASSERT_EQ(state, HttpHeadState::Incomplete) << "cut at " << cut;
        } else {
            ASSERT_EQ(state, HttpHeadState::Complete) << "cut at " << cut;
            ASSERT_EQ(end, kUpgrade.size()) << "cut at " << cut;
        }
    }
    // Only CR LF CR LF ends a head: bare line feeds wait, up to the bound.
    qsizetype end = -1;
    EXPECT_EQ(FindRequestHeadEnd("GET / HTTP/1.1\n\n", &end), HttpHeadState::Incomplete);
}

TEST(HttpRequestHead, AHeadMustEndWithinTheBound)
{
    const QByteArray line = "GET / HTTP/1.1\r\nX: ";
    const auto headOf = [&](qsizetype size) -> QByteArray {
        return line + QByteArray(size - line.size() - 4, 'a') + "\r\n\r\n";
    };
    const QByteArray noEnd(kMaxRequestHeadBytes, 'a');
    const std::tuple<QByteArray, HttpHeadState, qsizetype> cases[] = {
        {headOf(kMaxRequestHeadBytes), HttpHeadState::Complete, kMaxRequestHeadBytes},
        {headOf(kMaxRequestHeadBytes + 1), HttpHeadState::TooLarge, -1},
        {noEnd.first(kMaxRequestHeadBytes - 1), HttpHeadState::Incomplete, -1},
        {noEnd, HttpHeadState::TooLarge, -1},
    };
    for (const auto& [bytes, state, headEnd] : cases) {
        qsizetype end = -1;
        EXPECT_EQ(FindRequestHeadEnd(bytes, &end), state) << bytes.size() << " bytes";
        EXPECT_EQ(end, headEnd) << bytes.size() << " bytes";
    }
}

TEST(HttpRequestHead, RequestLineNeedsMethodPathAndVersionOneSpaceApart)
{
    const std::pair<QByteArray, const char*> accepted[] = {
        {"GET / HTTP/1.1", "/"},
        {"GET /ws?x=1&y HTTP/1.0", "/ws"},  // the query is not part of the path
        {"HEAD /xterm.js? HTTP/1.1", "/xterm.js"},
        {"BREW /%20 HTTP/1.", "/%20"},  // methods and escapes are the server's to judge
        {"GET / HTTP/1.1\r\n", "/"},
    };
    for (const auto& [line, path] : accepted) {
        const Parsed parsed = Parse(line + "\r\n\r\n");
        EXPECT_TRUE(parsed.ok) << line.toStdString();
        EXPECT_EQ(parsed.request.path, path) << line.toStdString();
        EXPECT_EQ(parsed.request.method, line.left(line.indexOf(' ')));
        EXPECT_TRUE(parsed.request.host.isEmpty() && parsed.request.origins.isEmpty());
        EXPECT_FALSE(parsed.request.webSocketUpgrade);
    }
    for (const QByteArray& line :
         {QByteArray(), QByteArray("GET /"), QByteArray("GET / HTTP/1.1 extra"),
          QByteArray("GET  / HTTP/1.1"), QByteArray(" / HTTP/1.1"), QByteArray("GET / HTTP/2"),
          QByteArray("GET / http/1.1"), QByteArray("GET index.html HTTP/1.1"),
          QByteArray("GET http://host/ HTTP/1.1"), QByteArray("GET\t/\tHTTP/1.1"),
          QByteArray("\r\nGET / HTTP/1.1")}) {
        EXPECT_FALSE(Parse(line + "\r\n\r\n").ok) << line.toStdString();
    }
}

struct HeaderCase
{
    const char* what;
    QByteArray headers;  // after the request line
    bool ok = true;
    QByteArray host = {};
    QByteArrayList origins = {};
    bool upgrade = false;
};

TEST(HttpRequestHead, HeadersAsTheServerReadsThem)
{
    const HeaderCase cases[] = {
        {"names in any case, values trimmed",
         "hOsT: \t a:1 \t\r\nORIGIN:http://a\r\n",
         true,
         "a:1",
         {"http://a"}},
        {"empty values", "Host:\r\nOrigin: \r\n", true, {}, {""}},
        // Recorded as they stand, both: the origin check refuses a request with two.
        {"two Origin headers",
         "Origin: http://a\r\nOrigin: http://evil\r\n",
         true,
         {},
         {"http://a", "http://evil"}},
        {"two Host headers", "Host: a\r\nHost: b\r\n", true, "b"},
        {"a space before the colon hides the header", "Origin : http://evil\r\n", true},
        {"a line without a colon", "Host a\r\n", false},
        {"an empty name", ": a\r\n", false},
        // Folded lines are obsolete: one without a colon refuses the request, one with a
        // colon is a header of another name.
        {"folded continuation", "X-Long: a\r\n b\r\n", false},
        {"folded line with a colon",
         "Origin: http://a\r\n\tOrigin: http://evil\r\n",
         true,
         {},
         {"http://a"}},
        {"bare line feeds", "Host: a\nOrigin: http://a\n", true, "a", {"http://a"}},
        {"an empty line before more headers", "\r\nHost: late\r\n", true, "late"},
        {"upgrade", "Upgrade: websocket\r\nConnection: Upgrade\r\n", true, {}, {}, true},
        {"upgrade among other tokens, any case",
         "Upgrade: h2c, WebSocket\r\nConnection: keep-alive,upgrade \r\n",
         true,
         {},
         {},
         true},
        {"upgrade without Connection", "Upgrade: websocket\r\n", true},
        {"Connection without upgrade", "Connection: upgrade\r\n", true},
        {"another protocol", "Upgrade: websocket2\r\nConnection: upgrade\r\n", true},
        {"not a token", "Upgrade: websocket\r\nConnection: upgraded\r\n", true},
        {"the last Upgrade header decides",
         "Upgrade: websocket\r\nConnection: upgrade\r\nUpgrade: h2c\r\n", true},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Parsed parsed = Parse("GET /ws HTTP/1.1\r\n" + c.headers + "\r\n");
        EXPECT_EQ(parsed.ok, c.ok);
        if (parsed.ok) {
            EXPECT_EQ(parsed.request.host, c.host);
            EXPECT_EQ(parsed.request.origins, c.origins);
            EXPECT_EQ(parsed.request.webSocketUpgrade, c.upgrade);
        }
    }
    const Parsed page = Parse(kUpgrade);
    ASSERT_TRUE(page.ok);
    EXPECT_EQ(page.request.method, "GET");
    EXPECT_EQ(page.request.path, "/ws");
    EXPECT_EQ(page.request.host, "127.0.0.1:8080");
    EXPECT_EQ(page.request.origins, QByteArrayList{"http://127.0.0.1:8080"});
    EXPECT_TRUE(page.request.webSocketUpgrade);
}

}  // namespace
