// Who a request behind a proxy comes from: believed only of the proxies named, read from
// the right of the forwarded chain, and never a guess when a value is not an address.
#include "server/ForwardedClient.h"

#include <gtest/gtest.h>

namespace {

struct Row
{
    const char* peer;
    QByteArrayList forwardedFor;
    QByteArrayList realIp;
    const char* client;  // empty: a client that cannot be placed
};

TEST(ForwardedClient, TakesTheNearestUntrustedHopOfANamedProxyOnly)
{
    TrustedProxies trusted;
    ASSERT_TRUE(trusted.Add("127.0.0.1"));
    ASSERT_TRUE(trusted.Add("10.0.0.0/8"));
    ASSERT_TRUE(trusted.Add("::1"));
    const Row rows[] = {
        {"192.0.2.9", {"127.0.0.1"}, {}, "192.0.2.9"},  // not a proxy: its claim is ignored
        {"127.0.0.1", {}, {}, "127.0.0.1"},             // the proxy's host itself
        {"127.0.0.1", {"198.51.100.4"}, {}, "198.51.100.4"},
        {"::ffff:127.0.0.1", {"198.51.100.4"}, {}, "198.51.100.4"},
        {"::1", {"2001:db8::7"}, {}, "2001:db8::7"},
        // Two proxies named in a row, the client's own claim leftmost.
        {"127.0.0.1", {"127.0.0.1, 198.51.100.4", "10.1.2.3"}, {}, "198.51.100.4"},
        {"127.0.0.1", {"10.9.9.9, 10.1.2.3"}, {}, "10.9.9.9"},
        {"127.0.0.1", {"[2001:db8::7]:4711"}, {}, "2001:db8::7"},
        {"127.0.0.1", {"198.51.100.4:4711"}, {}, "198.51.100.4"},
        {"127.0.0.1", {"unknown"}, {}, ""},
        {"127.0.0.1", {"198.51.100.4, garbage"}, {}, ""},
        {"127.0.0.1", {"2130706433"}, {}, ""},  // 127.0.0.1 as a number: not an address form
        {"127.0.0.1", {}, {"198.51.100.4"}, "198.51.100.4"},
        {"127.0.0.1", {}, {"198.51.100.4", "127.0.0.1"}, ""},
        {"127.0.0.1", {"198.51.100.4"}, {"127.0.0.1"}, "198.51.100.4"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.peer) + " " + row.forwardedFor.join('|').toStdString());
        const QHostAddress client = ForwardedClient(QHostAddress(QString::fromLatin1(row.peer)),
                                                    {row.forwardedFor, row.realIp}, trusted);
        if (*row.client == '\0') {
            EXPECT_TRUE(client.isNull()) << client.toString().toStdString();
        } else {
            EXPECT_EQ(client, QHostAddress(QString::fromLatin1(row.client)));
        }
    }
}

}  // namespace
