// Which pages may open the viewer stream: only those of hosts the program knows, whatever
// name the browser was given and whatever else the request says.
#include "server/OriginPolicy.h"

#include <gtest/gtest.h>

namespace {

struct OriginCase
{
    QByteArrayList origins;
    bool allowed;
};

}  // namespace

TEST(OriginPolicy, OnlyOneOriginOfAKnownHostOnAnAllowedPortPasses)
{
    const OriginPolicy policy{8080, {"public.name", "other.example:9000"}};
    const OriginCase cases[] = {
        {{}, true},  // not a browser
        {{"http://localhost:8080"}, true},
        {{"HTTP://LocalHost:8080"}, true},
        {{"https://127.0.0.1:8080"}, true},
        {{"http://[::1]:8080"}, true},
        {{"http://192.168.1.5:8080"}, true},  // the address the connection reached
        {{"http://192.168.1.6:8080"}, false},
        {{"http://localhost:8081"}, false},  // another program's page
        {{"http://localhost"}, false},
        {{"http://evil.example:8080"}, false},  // a rebound name
        {{"http://127.0.0.1.evil.example:8080"}, false},
        {{"https://public.name"}, true},  // behind a proxy on the standard port
        {{"http://public.name:8080"}, true},
        {{"http://public.name:8443"}, false},
        {{"http://other.example:9000"}, true},
        {{"http://other.example"}, false},
        {{"http://evil.example:8080", "http://localhost:8080"}, false},
        {{"null"}, false},
        {{""}, false},
        {{"ftp://localhost:8080"}, false},
        {{"http://localhost:8080/"}, false},
        {{"http://user@localhost:8080"}, false},
        {{"http://127.0.0.256:8080"}, false},
    };
    for (const OriginCase& c : cases) {
        EXPECT_EQ(OriginAllowed(c.origins, "192.168.1.5", policy), c.allowed)
            << c.origins.join(" + ").toStdString();
    }
    for (const char* host : {"public.name", "Public.Name:443", "[::1]:9", "10.0.0.2", "a-b.c"}) {
        EXPECT_TRUE(IsValidOriginHost(host)) << host;
    }
    for (const char* host : {"", "a:0", "a:70000", "a b", "::1", "host:", "http://a", "a/b"}) {
        EXPECT_FALSE(IsValidOriginHost(host)) << host;
    }
}
