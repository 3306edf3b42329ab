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

int OpenStream()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int BindAny(int fd, unsigned short port, const char** api)
{
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        *api = "setsockopt";
        return errno;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
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
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

QString PeerAddress(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Raise(errno, QStringLiteral("getpeername"));
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
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
