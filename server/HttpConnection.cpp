#include "server/HttpConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "platform/ErrorDisplay.h"
#include "platform/SocketCalls.h"

namespace {

// What a connection may send after its head and have dropped per readiness; a client that
// keeps sending is heard of again when more arrives, and cut off at its deadline.
constexpr qsizetype kDrainPerReadiness = 64 * 1024;

// One buffer for every connection's look at its head and for the bytes it drops: the
// server is single-threaded, and nothing stays in it between calls.
char* Scratch()
{
    static char buffer[std::max<qsizetype>(kMaxRequestHeadBytes, 16 * 1024)];
    return buffer;
}

}  // namespace

HttpConnection::HttpConnection(UniqueFd fd, const QHostAddress& peer, SocketPoller& poller,
                               HeadHandler onHead, EndHandler onEnd)
    : fd_(std::move(fd)),
      peer_(peer),
      client_(peer),
      poller_(poller),
      onHead_(std::move(onHead)),
      onEnd_(std::move(onEnd))
{
    age_.start();
    poller_.Watch(fd_.Get(), this, true);
    poller_.SetInterest(fd_.Get(), true, false);
}

HttpConnection::~HttpConnection()
{
    if (fd_.Valid()) {
        poller_.Forget(fd_.Get());
    }
}

void HttpConnection::Start()
{
    ReadHead();
}

QByteArray HttpConnection::LocalAddress() const
{
    const QByteArray address =
        fd_.Valid() ? SocketCalls::LocalAddress(fd_.Get()).toLatin1() : QByteArray();
    return address.contains(':') ? '[' + address + ']' : address;
}

// An entry from the event loop: nothing thrown here may reach it.
void HttpConnection::SocketReady(int descriptor, bool readable, bool writable)
{
    if (descriptor == fd_.Get()) {
        ErrorDisplay::Guard([&] { Advance(readable, writable); });
    }
}

void HttpConnection::Advance(bool readable, bool writable)
{
    switch (state_) {
        case State::ReadingHead:
            if (readable) {
                ReadHead();
            }
            break;
        case State::Writing:
            if (readable && !Drain() && state_ == State::Ended) {
                return;
            }
            if (writable) {
                Write();
            }
            break;
        case State::Lingering:
            if (readable && !Drain()) {
                End();
            }
            break;
        case State::Ended:
            break;
    }
}

// The head is peeked, never taken, so it is looked at whole each time more of it arrives.
// A look that finds nothing new was woken by the client's close, or by nothing at all.
void HttpConnection::ReadHead()
{
    const ssize_t got = SocketCalls::Receive(fd_.Get(), Scratch(), kMaxRequestHeadBytes, MSG_PEEK);
    if (got < 0 && SocketCalls::WouldBlock(errno)) {
        return;
    }
    if (got <= 0 || (got == peeked_ && PeerClosed())) {
        End();
        return;
    }
    if (got == peeked_) {
        return;
    }
    peeked_ = got;
    const QByteArrayView received(Scratch(), got);
    qsizetype headEnd = 0;
    const HttpHeadState state = FindRequestHeadEnd(received, &headEnd);
    if (state == HttpHeadState::Incomplete) {
        return;
    }
    onHead_(*this, state, state == HttpHeadState::Complete ? received.first(headEnd) : received);
}

void HttpConnection::Answer(const QByteArray& head, const QByteArray& body)
{
    if (state_ != State::ReadingHead) {
        return;
    }
    state_ = State::Writing;
    head_ = head;
    body_ = body;
    sent_ = 0;
    // The head was only peeked: it goes now, with anything after it.
    if (!Drain() && state_ == State::Ended) {
        return;
    }
    poller_.SetInterest(fd_.Get(), true, true);
    Write();
}

// As much as the socket takes, from where the last write stopped; nothing is copied.
void HttpConnection::Write()
{
    while (state_ == State::Writing) {
        iovec parts[2];
        int count = 0;
        if (sent_ < head_.size()) {
            parts[count++] = {const_cast<char*>(head_.constData()) + sent_,
                              static_cast<size_t>(head_.size() - sent_)};
        }
        const qsizetype bodyOffset = std::max<qsizetype>(sent_ - head_.size(), 0);
        if (bodyOffset < body_.size()) {
            parts[count++] = {const_cast<char*>(body_.constData()) + bodyOffset,
                              static_cast<size_t>(body_.size() - bodyOffset)};
        }
        if (count == 0) {
            Linger();
            return;
        }
        const ssize_t sent = SocketCalls::SendVector(fd_.Get(), parts, count);
        if (sent < 0) {
            if (!SocketCalls::WouldBlock(errno)) {
                End();
            }
            return;  // the next edge of room goes on
        }
        sent_ += sent;
    }
}

// Bytes waiting hide the client's close from a peek; the system still tells it.
bool HttpConnection::PeerClosed() const
{
    pollfd state{fd_.Get(), POLLRDHUP, 0};
    return ::poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool HttpConnection::Drain()
{
    qsizetype dropped = 0;
    while (dropped < kDrainPerReadiness) {
        const ssize_t got = SocketCalls::Receive(fd_.Get(), Scratch(), kMaxRequestHeadBytes);
        if (got > 0) {
            dropped += got;
            continue;
        }
        if (got < 0 && SocketCalls::WouldBlock(errno)) {
            return true;
        }
        if (got < 0) {
            End();
        }
        return false;
    }
    return true;
}

void HttpConnection::Linger()
{
    state_ = State::Lingering;
    head_ = QByteArray();
    body_ = QByteArray();
    ::shutdown(fd_.Get(), SHUT_WR);
    deadlineMs_ = std::min(deadlineMs_, age_.elapsed() + kLingerMs);
    poller_.SetInterest(fd_.Get(), true, false);
}

UniqueFd HttpConnection::Release()
{
    if (state_ == State::Ended) {
        return UniqueFd();
    }
    poller_.Forget(fd_.Get());
    UniqueFd fd = std::move(fd_);
    state_ = State::Ended;
    onEnd_(*this);
    return fd;
}

void HttpConnection::End()
{
    if (state_ == State::Ended) {
        return;
    }
    poller_.Forget(fd_.Get());
    fd_.Close();
    state_ = State::Ended;
    head_ = QByteArray();
    body_ = QByteArray();
    onEnd_(*this);
}
