#include "support/LoopbackClient.h"

#include <sys/socket.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>

#include "support/Loopback.h"

namespace {
constexpr int kSendTimeoutMs = 30000;
}

LoopbackClient::LoopbackClient() : fd_(NewLoopbackSocket()) {}

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
    return BindLocalAddress(fd_.Get(), localAddress) && Connect(port);
}

bool LoopbackClient::Connect(int port)
{
    if (!StartConnect(fd_.Get(), port)) {
        return false;
    }
    int outcome = -1;
    const bool done =
        PumpUntil([this, &outcome] { return (outcome = ConnectOutcome(fd_.Get())) >= 0; }, 5000);
    Pump();
    return done && outcome == 0;
}

void LoopbackClient::Send(const QByteArray& bytes)
{
    qsizetype offset = 0;
    QElapsedTimer clock;
    clock.start();
    while (offset < bytes.size() && clock.elapsed() < kSendTimeoutMs) {
        const ssize_t sent = ::send(fd_.Get(), bytes.constData() + offset,
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
    while (fd_.Valid() && !peerClosed_) {
        const ssize_t got = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
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
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void LoopbackClient::Close()
{
    fd_.Close();
}

void LoopbackClient::Reset()
{
    if (fd_.Valid()) {
        const linger abort{1, 0};
        ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    Close();
}
