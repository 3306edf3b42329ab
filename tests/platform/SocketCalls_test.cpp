#include "platform/SocketCalls.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// Frames are small and timed: a viewer connection must not hold a frame back behind an
// unacknowledged one (Nagle's algorithm), or it arrives up to a delayed-ACK period late.
TEST(SocketCalls, AcceptedConnection_HasNagleOff)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const int accepted = SocketCalls::Accept(listener);
    ASSERT_GE(accepted, 0);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(::getsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);

    ::close(accepted);
    ::close(client);
    ::close(listener);
}

// A port on "::" takes IPv4 clients too, whatever the system's default, and names them as
// the IPv4 address they are, as a port on an IPv4 address would.
TEST(SocketCalls, EveryInterfaceOfBothFamiliesTakesIpv4ClientsAndNamesThemPlainly)
{
    const int listener = SocketCalls::OpenStream(SocketCalls::FamilyOf("::"));
    const char* api = "";
    ASSERT_EQ(SocketCalls::BindTo(listener, "::", 0, &api), 0) << api;
    ASSERT_EQ(::listen(listener, 1), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(SocketCalls::LocalPort(listener)));
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    int accepted = -1;
    for (int i = 0; i < 100 && accepted < 0; ++i) {
        accepted = SocketCalls::Accept(listener);
        if (accepted < 0) {
            ::usleep(10000);
        }
    }
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(SocketCalls::PeerAddress(accepted), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(SocketCalls::LocalAddress(accepted), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(SocketCalls::FamilyOf("1.2.3"), 0);
    EXPECT_NE(SocketCalls::BindTo(client, "not an address", 0, &api), 0);

    ::close(accepted);
    ::close(client);
    ::close(listener);
}
