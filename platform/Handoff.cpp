#include "platform/Handoff.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/RuntimeDir.h"
#include "platform/SocketCalls.h"
#include "platform/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHeaderBytes = 8;
constexpr int kAnswerBytes = 4;

QByteArray SocketPath(const QString& name)
{
    return RuntimeFilePath(name, QStringLiteral(".sock"));
}

bool FillAddress(const QByteArray& path, sockaddr_un* address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.isEmpty() || static_cast<size_t>(path.size()) >= sizeof(address->sun_path)) {
        return false;
    }
    std::memcpy(address->sun_path, path.constData(), static_cast<size_t>(path.size()));
    return true;
}

// Only our own processes may talk to us, and we hand paths only to our own endpoint.
bool PeerIsUs(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return false;
    }
    return credentials.uid == ::geteuid();
}

// A socket file left by an endpoint that died is in the way of bind; it goes. One that still
// answers belongs to a live endpoint, which must not be taken over. Returns 0 or the error.
int RemoveStaleSocket(const QByteArray& path, const sockaddr_un& address)
{
    struct stat info = {};
    if (::lstat(path.constData(), &info) != 0) {
        return 0;
    }
    if (!S_ISSOCK(info.st_mode)) {
        return EEXIST;
    }
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);
    if (probe.Get() >= 0 && ::connect(probe.Get(), generic, sizeof(address)) == 0) {
        return EADDRINUSE;
    }
    ::unlink(path.constData());
    return 0;
}

// Waits until fd is ready for events or the deadline passes; false on timeout or error.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (rc > 0) {
            return true;
        }
        if (rc < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Sends a client the answer it is owed, or a refusal (0) when it has none yet, without
// waiting: four bytes always fit in an empty socket buffer.
void Refuse(int fd, const QByteArray& answer)
{
    const int32_t refused = 0;
    const QByteArray bytes = answer.isEmpty()
                                 ? QByteArray(reinterpret_cast<const char*>(&refused), kAnswerBytes)
                                 : answer;
    [[maybe_unused]] const ssize_t sent = ::send(
        fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

// One connected client: its descriptor, its notifiers and where it is in its request.
class HandoffServer::Client : public QObject
{
public:
    enum class Stage
    {
        Header,
        Body,
        Handling,
        Answering
    };

    Client(int descriptor, QObject* parent)
        : QObject(parent),
          fd(descriptor),
          readNotifier(descriptor, QSocketNotifier::Read, this),
          writeNotifier(descriptor, QSocketNotifier::Write, this),
          timer(this)
    {
        writeNotifier.setEnabled(false);
        timer.setSingleShot(true);
    }
    ~Client() override { Shut(); }

    // Quiet first, so no notification arrives for a descriptor that is gone or reused.
    void Shut()
    {
        readNotifier.setEnabled(false);
        writeNotifier.setEnabled(false);
        timer.stop();
        fd.Reset();
    }

    UniqueFd fd;
    QSocketNotifier readNotifier;
    QSocketNotifier writeNotifier;
    QTimer timer;
    Stage stage = Stage::Header;
    uint32_t header[2] = {};  // tag, byte count
    size_t headerFill = 0;
    uint32_t tag = 0;
    uint32_t count = 0;
    QByteArray body;
    QByteArray answer;
};

HandoffServer::HandoffServer(const QString& name, Handler handler, QObject* parent)
    : QObject(parent), name_(name), handler_(std::move(handler))
{
}

HandoffServer::~HandoffServer()
{
    Close();
}

QString HandoffServer::Path() const
{
    return QFile::decodeName(SocketPath(name_));
}

bool HandoffServer::Listen(QString* error)
{
    auto fail = [error](const char* call, int code) {
        if (error != nullptr) {
            // Told in the same words as any other socket error of the program.
            *error = SocketCalls::ErrorMessage(code, QLatin1String(call));
        }
        return false;
    };
    if (listenFd_.Valid()) {
        return true;
    }
    const QByteArray path = SocketPath(name_);
    sockaddr_un address{};
    if (!FillAddress(path, &address)) {
        return fail("socket path", ENAMETOOLONG);
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        return fail("socket", errno);
    }
    if (const int code = RemoveStaleSocket(path, address); code != 0) {
        return fail("bind", code);
    }
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return fail("bind", errno);
    }
    // The folder is already closed to others; the mode says the same of the socket itself.
    struct stat info = {};
    if (::chmod(path.constData(), S_IRUSR | S_IWUSR) != 0 ||
        ::lstat(path.constData(), &info) != 0) {
        const int code = errno;
        ::unlink(path.constData());
        return fail("chmod", code);
    }
    if (::listen(fd.Get(), 16) != 0) {
        const int code = errno;
        ::unlink(path.constData());
        return fail("listen", code);
    }
    boundPath_ = path;
    boundDevice_ = info.st_dev;
    boundInode_ = info.st_ino;
    listenFd_ = std::move(fd);
    acceptNotifier_ = std::make_unique<QSocketNotifier>(listenFd_.Get(), QSocketNotifier::Read);
    connect(acceptNotifier_.get(), &QSocketNotifier::activated, this,
            [this] { ErrorDisplay::Guard([this] { AcceptAll(); }); });
    return true;
}

void HandoffServer::Close()
{
    // Whoever is still waiting on us learns at once that nothing was taken, instead of
    // waiting out its timeout: the clients we serve, and those not yet accepted.
    for (auto& [id, client] : clients_) {
        Refuse(client->fd.Get(),
               client->stage == Client::Stage::Answering ? client->answer : QByteArray());
        delete client;
    }
    clients_.clear();
    if (!listenFd_.Valid()) {
        return;
    }
    acceptNotifier_.reset();
    for (;;) {
        const UniqueFd fd(
            ::accept4(listenFd_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.Get() < 0 && errno == EINTR) {
            continue;
        }
        if (fd.Get() < 0) {
            break;
        }
        if (PeerIsUs(fd.Get())) {
            Refuse(fd.Get(), QByteArray());
        }
    }
    listenFd_.Reset();
    // Only our own socket file goes: a newer endpoint may have replaced it meanwhile.
    struct stat info = {};
    if (::lstat(boundPath_.constData(), &info) == 0 && info.st_dev == boundDevice_ &&
        info.st_ino == boundInode_) {
        ::unlink(boundPath_.constData());
    }
}

HandoffServer::Client* HandoffServer::Find(uint64_t id) const
{
    const auto found = clients_.find(id);
    return found == clients_.end() ? nullptr : found->second;
}

void HandoffServer::PauseAccepting()
{
    acceptNotifier_->setEnabled(false);
    QTimer::singleShot(SocketCalls::kAcceptPauseMs, this, [this] {
        if (acceptNotifier_) {
            acceptNotifier_->setEnabled(true);
        }
    });
}

void HandoffServer::AcceptAll()
{
    for (;;) {
        UniqueFd fd(SocketCalls::Accept(listenFd_.Get()));
        if (!fd.Valid()) {
            if (SocketCalls::OutOfDescriptors(errno)) {
                // The waiting connection stays readable: rest instead of spinning on it.
                PauseAccepting();
            }
            return;
        }
        // Hand-offs are rare and short; a crowd of them is someone misbehaving.
        if (!PeerIsUs(fd.Get()) || clients_.size() >= kMaxClients) {
            continue;
        }
        const uint64_t id = nextClientId_++;
        auto* client = new Client(fd.Release(), this);
        clients_.emplace(id, client);
        connect(&client->readNotifier, &QSocketNotifier::activated, this,
                [this, id] { ErrorDisplay::Guard([this, id] { ReadFrom(id); }); });
        connect(&client->writeNotifier, &QSocketNotifier::activated, this,
                [this, id] { ErrorDisplay::Guard([this, id] { WriteTo(id); }); });
        connect(&client->timer, &QTimer::timeout, this, [this, id] { Drop(id); });
        client->timer.start(clientTimeoutMs_);
    }
}

void HandoffServer::ReadFrom(uint64_t id)
{
    Client* client = Find(id);
    if (client == nullptr) {
        return;
    }
    char chunk[4096];
    for (;;) {
        const bool inHeader = client->stage == Client::Stage::Header;
        char* into =
            inHeader ? reinterpret_cast<char*>(client->header) + client->headerFill : chunk;
        const size_t want =
            inHeader ? kHeaderBytes - client->headerFill
                     : std::min<size_t>(sizeof(chunk),
                                        client->count - static_cast<size_t>(client->body.size()));
        const ssize_t got = SocketCalls::Receive(client->fd.Get(), into, want);
        if (got < 0 && SocketCalls::WouldBlock(errno)) {
            return;
        }
        if (got <= 0) {
            Drop(id);  // hung up or failed before its request was whole
            return;
        }
        if (!inHeader) {
            client->body.append(chunk, got);
        } else if ((client->headerFill += static_cast<size_t>(got)) == kHeaderBytes) {
            client->tag = client->header[0];
            client->count = client->header[1];
            if (client->count > kMaxRequestBytes) {
                Drop(id);
                return;
            }
            client->body.reserve(client->count);
            client->stage = Client::Stage::Body;
        }
        if (client->stage == Client::Stage::Body && client->body.size() == client->count) {
            Answer(id);
            return;
        }
    }
}

void HandoffServer::Answer(uint64_t id)
{
    Client* client = Find(id);
    client->stage = Client::Stage::Handling;
    client->readNotifier.setEnabled(false);
    client->timer.stop();
    const uint32_t tag = client->tag;
    const QByteArray bytes = std::exchange(client->body, QByteArray());

    // The handler may run a nested loop (an error box), in which this server or this client
    // can go away; look both up again afterwards.
    int32_t result = 0;
    const QPointer<HandoffServer> alive(this);
    ErrorDisplay::Guard([&] {
        if (handler_) {
            result = handler_(tag, bytes);
        }
    });
    if (alive.isNull() || (client = Find(id)) == nullptr) {
        return;
    }
    client->answer = QByteArray(reinterpret_cast<const char*>(&result), kAnswerBytes);
    client->stage = Client::Stage::Answering;
    client->timer.start(clientTimeoutMs_);
    WriteTo(id);
}

void HandoffServer::WriteTo(uint64_t id)
{
    Client* client = Find(id);
    if (client == nullptr) {
        return;
    }
    while (!client->answer.isEmpty()) {
        const ssize_t sent = SocketCalls::Send(client->fd.Get(), client->answer.constData(),
                                               static_cast<size_t>(client->answer.size()));
        if (sent < 0 && SocketCalls::WouldBlock(errno)) {
            client->writeNotifier.setEnabled(true);
            return;
        }
        if (sent < 0) {
            break;
        }
        client->answer.remove(0, sent);
    }
    Drop(id);  // answered, or the sender is gone
}

void HandoffServer::Drop(uint64_t id)
{
    const auto found = clients_.find(id);
    if (found == clients_.end()) {
        return;
    }
    Client* client = found->second;
    clients_.erase(found);
    // We may be inside one of its notifiers' signals: silence it now, free it later.
    client->Shut();
    client->deleteLater();
}

namespace {

// Connects to the endpoint, trying again while nobody listens there yet: the first instance
// may hold the lock but still be on its way to Listen.
UniqueFd ConnectUntil(const sockaddr_un& address, Clock::time_point deadline)
{
    for (;;) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (fd.Get() < 0) {
            return {};
        }
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
            0) {
            return fd;
        }
        const int error = errno;
        if (error != ENOENT && error != ECONNREFUSED && error != EAGAIN && error != EINTR) {
            return {};
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return {};
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(20)));
    }
}

bool SendAll(int fd, const QByteArray& bytes, Clock::time_point deadline)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        // An endpoint that hangs up fails the send; it never raises SIGPIPE.
        const ssize_t sent = SocketCalls::Send(fd, bytes.constData() + done,
                                               static_cast<size_t>(bytes.size() - done));
        if (sent > 0) {
            done += sent;
        } else if (sent < 0 && SocketCalls::WouldBlock(errno)) {
            if (!WaitFor(fd, POLLOUT, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool ReceiveExactly(int fd, char* buffer, size_t length, Clock::time_point deadline)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = SocketCalls::Receive(fd, buffer + done, length - done);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got < 0 && SocketCalls::WouldBlock(errno)) {
            if (!WaitFor(fd, POLLIN, deadline)) {
                return false;
            }
        } else {
            return false;  // the endpoint hung up without an answer
        }
    }
    return true;
}

}  // namespace

std::optional<int32_t> SendHandoff(const QString& name, uint32_t tag, const QByteArray& bytes,
                                   int connectTimeoutMs, int answerTimeoutMs)
{
    if (static_cast<size_t>(bytes.size()) > HandoffServer::kMaxRequestBytes) {
        return std::nullopt;
    }
    sockaddr_un address{};
    if (!FillAddress(SocketPath(name), &address)) {
        return std::nullopt;
    }
    const UniqueFd fd =
        ConnectUntil(address, Clock::now() + std::chrono::milliseconds(connectTimeoutMs));
    if (fd.Get() < 0 || !PeerIsUs(fd.Get())) {
        return std::nullopt;
    }
    const uint32_t count = static_cast<uint32_t>(bytes.size());
    QByteArray request;
    request.reserve(kHeaderBytes + bytes.size());
    request.append(reinterpret_cast<const char*>(&tag), sizeof(tag));
    request.append(reinterpret_cast<const char*>(&count), sizeof(count));
    request.append(bytes);

    const auto deadline = Clock::now() + std::chrono::milliseconds(answerTimeoutMs);
    int32_t result = 0;
    if (!SendAll(fd.Get(), request, deadline) ||
        !ReceiveExactly(fd.Get(), reinterpret_cast<char*>(&result), sizeof(result), deadline)) {
        return std::nullopt;
    }
    return result;
}
