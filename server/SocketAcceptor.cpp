#include "server/SocketAcceptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <QString>
#include <cerrno>

#include "platform/ErrorDisplay.h"
#include "platform/SocketCalls.h"

namespace {

// Asked of listen(): the system's maximum, so that a crowd connecting at once waits in
// the backlog rather than on the clients' SYN retransmits (a second or more each).
constexpr int kBacklog = SOMAXCONN;
// How long a shortage of descriptors may last before newcomers are refused.
constexpr qint64 kRefuseAfterMs = 1000;

UniqueFd OpenReserve()
{
    return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

}  // namespace

SocketAcceptor::SocketAcceptor(std::function<void(bool)> setAccepting)
    : setAccepting_(std::move(setAccepting))
{
    pause_.setSingleShot(true);
    pause_.setInterval(SocketCalls::kAcceptPauseMs);
    QObject::connect(&pause_, &QTimer::timeout,
                     [this] { ErrorDisplay::Guard([this] { setAccepting_(true); }); });
}

void SocketAcceptor::Bind(int fd, const QByteArray& address, quint16 port)
{
    const char* api = "";
    const int code = address.isEmpty() ? SocketCalls::BindAny(fd, port, &api)
                                       : SocketCalls::BindTo(fd, address, port, &api);
    if (code != 0) {
        SocketCalls::Raise(code, QString::fromLatin1(api));
    }
}

UniqueFd SocketAcceptor::OpenFor(const QByteArray& address)
{
    const int family = address.isEmpty() ? AF_INET : SocketCalls::FamilyOf(address);
    if (family == 0) {
        SocketCalls::Raise(EINVAL, QStringLiteral("inet_pton"));
    }
    UniqueFd fd(SocketCalls::OpenStream(family));
    if (!fd.Valid()) {
        SocketCalls::Raise(errno, QStringLiteral("socket"));
    }
    return fd;
}

void SocketAcceptor::Listen(int fd)
{
    if (::listen(fd, kBacklog) != 0) {
        SocketCalls::Raise(errno, QStringLiteral("listen"));
    }
    reserve_ = OpenReserve();
    descriptorsShortSince_.invalidate();
}

void SocketAcceptor::Stop()
{
    pause_.stop();
    reserve_.Close();
}

// A newcomer is taken only with a descriptor to spare beside its own: its catch-up reads
// the recording through one of its own, and one taken without it would see its stream
// begin wherever the playback stands, with no sign of what it missed.
UniqueFd SocketAcceptor::Accept(int fd)
{
    if (!SocketCalls::DescriptorsLeft(fd, 2)) {
        if (errno == EMFILE || errno == ENFILE) {
            ShortOfDescriptors(fd);
        } else {
            Pause();
        }
        return UniqueFd();
    }
    UniqueFd accepted(SocketCalls::Accept(fd));
    if (accepted.Valid()) {
        descriptorsShortSince_.invalidate();
    } else if (errno == EMFILE || errno == ENFILE) {
        ShortOfDescriptors(fd);
    } else if (errno == ENOBUFS || errno == ENOMEM) {
        Pause();
    }
    return accepted;
}

// Out of descriptors. A shortage often passes (a catch-up's descriptor, a viewer leaving),
// so accepting first rests and tries again. Once it has lasted kRefuseAfterMs, newcomers
// are refused: left in the backlog, each would wait there, connected as far as it knows,
// until some viewer leaves, which may be never.
void SocketAcceptor::ShortOfDescriptors(int fd)
{
    if (!descriptorsShortSince_.isValid()) {
        descriptorsShortSince_.start();
    }
    if (descriptorsShortSince_.elapsed() < kRefuseAfterMs) {
        Pause();
        return;
    }
    RefuseNewcomer(fd);
}

// The reserve descriptor is given up for the moment it takes to accept the newcomer and
// close it, so it is told at once; the viewers already served go on as before.
void SocketAcceptor::RefuseNewcomer(int fd)
{
    if (reserve_.Valid()) {
        reserve_.Close();
        UniqueFd refused(SocketCalls::Accept(fd));
        const bool closedOne = refused.Valid();
        refused.Close();
        reserve_ = OpenReserve();
        if (closedOne) {
            return;
        }
    }
    // No reserve to give (the whole system is out): rest a moment instead of spinning.
    Pause();
}

void SocketAcceptor::Pause()
{
    setAccepting_(false);
    pause_.start();
}
