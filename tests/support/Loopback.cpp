#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <set>

namespace {
sockaddr_in LoopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

long long NowMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
}  // namespace

int FreePort()
{
    // Below the kernel's ephemeral range, so that no outgoing connection of a test running
    // beside this one is given the port between this check and the program's bind.
    constexpr int kLowest = 20000;
    constexpr int kCount = 12000;
    static std::minstd_rand random(static_cast<unsigned>(::getpid()) * 7919u +
                                   static_cast<unsigned>(NowMs()));
    // Nor twice in one test, which may ask for several before starting anything.
    static std::set<int> handedOut;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = kLowest + static_cast<int>(random() % kCount);
        if (!handedOut.insert(port).second) {
            continue;
        }
        const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address = LoopbackAddress(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return port;
        }
    }
    return 0;
}

UniqueFd TakePort(int port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 1) != 0) {
        return UniqueFd();
    }
    return fd;
}

UniqueFd NewLoopbackSocket(const LoopbackOptions& options)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return fd;
    }
    if (options.receiveBufferBytes > 0) {
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes,
                     sizeof options.receiveBufferBytes);
    }
    if (options.noDelay) {
        const int one = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (options.localAddress != nullptr && !BindLocalAddress(fd.Get(), options.localAddress)) {
        return UniqueFd();
    }
    return fd;
}

bool BindLocalAddress(int fd, const char* address)
{
    sockaddr_in local = LoopbackAddress(0);
    return ::inet_pton(AF_INET, address, &local.sin_addr) == 1 &&
           ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool StartConnect(int fd, int port)
{
    const sockaddr_in address = LoopbackAddress(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
           errno == EINPROGRESS;
}

int ConnectOutcome(int fd, int waitMs)
{
    pollfd entry{fd, POLLOUT, 0};
    if (::poll(&entry, 1, waitMs) <= 0) {
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

UniqueFd ConnectLoopback(int port, const LoopbackOptions& options, int timeoutMs)
{
    UniqueFd fd = NewLoopbackSocket(options);
    if (!fd.Valid() || !StartConnect(fd.Get(), port) || ConnectOutcome(fd.Get(), timeoutMs) != 0) {
        return UniqueFd();
    }
    return fd;
}

bool WaitForListening(int port, int timeoutMs)
{
    const long long end = NowMs() + timeoutMs;
    for (;;) {
        const long long left = end - NowMs();
        if (ConnectLoopback(port, {}, static_cast<int>(left > 1 ? left : 1)).Valid()) {
            return true;
        }
        if (NowMs() >= end) {
            return false;
        }
        ::poll(nullptr, 0, 10);
    }
}
