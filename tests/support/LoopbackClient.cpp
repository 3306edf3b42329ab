#include "support/LoopbackClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>

namespace {
constexpr int kSendTimeoutMs = 30000;
}

LoopbackClient::LoopbackClient()
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

LoopbackClient::~LoopbackClient()
{
    Close();
}

void LoopbackClient::Pump(int ms)
{
    // The timer bounds the wait; socket and timer events end it sooner.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(ms);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool LoopbackClient::PumpUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        Pump();
    }
    return true;
}

bool LoopbackClient::ConnectFrom(const char* localAddress, int port)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, localAddress, &local.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return false;
    }
    return Connect(port);
}

bool LoopbackClient::Connect(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        return false;
    }
    int error = 0;
    const bool done = PumpUntil(
        [this, &error] {
            pollfd entry{fd_, POLLOUT, 0};
            if (::poll(&entry, 1, 0) <= 0) {
                return false;
            }
            socklen_t length = sizeof error;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
            return true;
        },
        5000);
    Pump();
    return done && error == 0;
}

void LoopbackClient::Send(const QByteArray& bytes)
{
    qsizetype offset = 0;
    QElapsedTimer clock;
    clock.start();
    while (offset < bytes.size() && clock.elapsed() < kSendTimeoutMs) {
        const ssize_t sent = ::send(fd_, bytes.constData() + offset,
                                    static_cast<size_t>(bytes.size() - offset), MSG_NOSIGNAL);
        if (sent > 0) {
            offset += sent;
        } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return;
        } else {
            Pump();
        }
    }
}

void LoopbackClient::ReadAvailable()
{
    char buffer[65536];
    while (fd_ >= 0 && !peerClosed_) {
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            received_.append(buffer, got);
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            peerClosed_ = true;
        } else {
            return;
        }
    }
}

bool LoopbackClient::WaitForBytes(qsizetype total, int timeoutMs)
{
    return PumpUntil(
        [this, total] {
            ReadAvailable();
            return received_.size() >= total;
        },
        timeoutMs);
}

QByteArray LoopbackClient::ReadFor(int ms)
{
    const qsizetype before = received_.size();
    QElapsedTimer clock;
    clock.start();
    do {
        Pump();
        ReadAvailable();
    } while (clock.elapsed() < ms);
    return received_.mid(before);
}

bool LoopbackClient::WaitForClose(int timeoutMs)
{
    return PumpUntil(
        [this] {
            ReadAvailable();
            return peerClosed_;
        },
        timeoutMs);
}

void LoopbackClient::SetReceiveBufferSize(int bytes)
{
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void LoopbackClient::Close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void LoopbackClient::Reset()
{
    if (fd_ >= 0) {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    Close();
}
