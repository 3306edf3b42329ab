#include "platform/SocketCalls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/Texts.h"
#include "platform/Exceptions.h"
#include "platform/UniqueFd.h"

namespace SocketCalls {
namespace {

// The description is cut at this many bytes, as the message table allows.
constexpr int kMaxDescriptionBytes = 256;

template <class Call>
auto RetryInterrupted(Call call)
{
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

bool IsTrailingNoise(QChar c)
{
    return c.isSpace() || c.category() == QChar::Other_Control || c == QLatin1Char('.') ||
           c == QChar(0x3002);
}

}  // namespace

QString Description(int code)
{
    const QByteArray raw = QByteArray(std::strerror(code)).left(kMaxDescriptionBytes);
    QString text = QString::fromLocal8Bit(raw);
    while (!text.isEmpty() && IsTrailingNoise(text.back())) {
        text.chop(1);
    }
    return text;
}

QString ErrorMessage(int code, const QString& api)
{
    // One pass, so a description that happens to hold "%2" is not filled in.
    return Texts::SocketError.arg(Description(code), QString::number(code), api);
}

void Raise(int code, const QString& api)
{
    throw ESocketError(ErrorMessage(code, api));
}

int FamilyOf(const QByteArray& address)
{
    in6_addr bytes{};
    if (::inet_pton(AF_INET, address.constData(), &bytes) == 1) {
        return AF_INET;
    }
    if (::inet_pton(AF_INET6, address.constData(), &bytes) == 1) {
        return AF_INET6;
    }
    return 0;
}

int OpenStream(int family)
{
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int BindAny(int fd, unsigned short port, const char** api)
{
    return BindTo(fd, QByteArrayLiteral("0.0.0.0"), port, api);
}

int BindTo(int fd, const QByteArray& text, unsigned short port, const char** api)
{
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        *api = "setsockopt";
        return errno;
    }
    sockaddr_storage storage{};
    socklen_t length = 0;
    *api = "inet_pton";
    if (FamilyOf(text) == AF_INET6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        ::inet_pton(AF_INET6, text.constData(), &address->sin6_addr);
        length = sizeof *address;
        const int off = 0;
        if (IN6_IS_ADDR_UNSPECIFIED(&address->sin6_addr) &&
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
            *api = "setsockopt";
            return errno;
        }
    } else if (FamilyOf(text) == AF_INET) {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        ::inet_pton(AF_INET, text.constData(), &address->sin_addr);
        length = sizeof *address;
    } else {
        return EINVAL;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        *api = "bind";
        return errno;
    }
    return 0;
}

int Accept(int fd)
{
    int accepted;
    do {
        accepted = RetryInterrupted(
            [fd] { return ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); });
    } while (accepted < 0 && errno == ECONNABORTED);
    if (accepted >= 0) {
        // Frames are small and due at exact moments: with Nagle's algorithm on, a frame
        // that follows an unacknowledged one waits for the viewer's delayed ACK (up to
        // 40 ms). A failure here (a local socket has no such option) costs only that
        // latency, so it is not reported.
        const int on = 1;
        ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return accepted;
}

int BytesWaiting(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0 || count < 0) {
        return 0;
    }
    return count;
}

ssize_t Send(int fd, const char* data, std::size_t size)
{
    return RetryInterrupted([&] { return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

ssize_t SendVector(int fd, const iovec* parts, int count)
{
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = static_cast<size_t>(count);
    return RetryInterrupted([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

ssize_t Receive(int fd, char* buffer, std::size_t size, int flags)
{
    return RetryInterrupted([&] { return ::recv(fd, buffer, size, flags | MSG_DONTWAIT); });
}

int LocalPort(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return 0;
    }
    if (storage.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

namespace {
// An IPv4 client of a dual-stack socket comes as ::ffff:a.b.c.d; it is written as the
// IPv4 address it is, so it reads the same whichever socket it reached.
QString AddressText(const sockaddr_storage& storage)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET6) {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&address)) {
            ::inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &address, text, sizeof text);
        }
    } else if (storage.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text,
                    sizeof text);
    }
    return QString::fromLatin1(text);
}
}  // namespace

QString PeerAddress(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        Raise(errno, QStringLiteral("getpeername"));
    }
    return AddressText(storage);
}

QString LocalAddress(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return QString();
    }
    return AddressText(storage);
}

bool WouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK;
}

bool OutOfDescriptors(int code)
{
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

bool DescriptorsLeft(int fd, int count)
{
    std::vector<UniqueFd> tried;
    for (int i = 0; i < count; ++i) {
        tried.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!tried.back().Valid()) {
            const int error = errno;
            tried.clear();
            errno = error;
            return false;
        }
    }
    return true;
}

}  // namespace SocketCalls
