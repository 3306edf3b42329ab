#include "platform/StatusOutput.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {
// How long the last lines may hold up the end of the program.
constexpr int kFinalFlushMs = 200;
}  // namespace

StatusOutput::StatusOutput(int fd, size_t capacityBytes) : backlog_(capacityBytes)
{
    Open(fd);
}

StatusOutput::~StatusOutput()
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFinalFlushMs);
    while (!closed_ && !backlog_.Empty()) {
        Flush();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (backlog_.Empty() || left.count() <= 0) {
            break;
        }
        pollfd entry{fd_.Get(), POLLOUT, 0};
        ::poll(&entry, 1, static_cast<int>(left.count()));
    }
}

void StatusOutput::Open(int fd)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        closed_ = true;  // nothing there to write to
        return;
    }
    if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
        const QByteArray own = "/proc/self/fd/" + QByteArray::number(fd);
        fd_.Reset(::open(own.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (fd_.Valid()) {
            method_ = Method::Write;
            return;
        }
    }
    fd_.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!fd_.Valid()) {
        closed_ = true;
    } else if (S_ISSOCK(info.st_mode)) {
        method_ = Method::Send;
    } else if (S_ISREG(info.st_mode)) {
        method_ = Method::Write;
    } else {
        method_ = Method::PollThenWrite;
    }
}

void StatusOutput::WriteLine(const QByteArray& key, const QByteArray& text)
{
    if (closed_) {
        return;
    }
    backlog_.Push(key, key + ": " + text + '\n');
    // While the descriptor is known to be full, the notifier says when to go on.
    if (!writable_ || !writable_->isEnabled()) {
        Flush();
    }
}

ssize_t StatusOutput::WriteSome()
{
    size_t size = backlog_.FrontSize();
    if (method_ == Method::PollThenWrite) {
        pollfd entry{fd_.Get(), POLLOUT, 0};
        if (::poll(&entry, 1, 0) <= 0 || (entry.revents & POLLOUT) == 0) {
            return (entry.revents & (POLLERR | POLLNVAL)) != 0 ? -1 : 0;
        }
        // Writable means room for this much at least; more could block.
        size = std::min<size_t>(size, PIPE_BUF);
    }
    for (;;) {
        const ssize_t written =
            method_ == Method::Send
                ? ::send(fd_.Get(), backlog_.FrontData(), size, MSG_DONTWAIT | MSG_NOSIGNAL)
                : ::write(fd_.Get(), backlog_.FrontData(), size);
        if (written >= 0) {
            return written;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void StatusOutput::Flush()
{
    while (!closed_ && !backlog_.Empty()) {
        const ssize_t written = WriteSome();
        if (written < 0) {
            Close();
            return;
        }
        if (written == 0) {
            if (!writable_) {
                writable_ = std::make_unique<QSocketNotifier>(fd_.Get(), QSocketNotifier::Write);
                connect(writable_.get(), &QSocketNotifier::activated, this, [this] {
                    writable_->setEnabled(false);
                    Flush();
                });
            }
            writable_->setEnabled(true);
            return;
        }
        backlog_.Consume(static_cast<size_t>(written));
    }
}

void StatusOutput::Close()
{
    closed_ = true;
    writable_.reset();
    backlog_.Clear();
    fd_.Reset();
}
