#include "platform/Handoff.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "platform/RuntimeDir.h"

namespace {

using namespace std::chrono_literals;

struct Request
{
    uint32_t tag;
    QByteArray bytes;
};

// A server whose handler records every request and answers with a fixed result.
struct RecordingServer
{
    explicit RecordingServer(const QString& name, int32_t result = 1)
        : server(name, [this, result](uint32_t tag, const QByteArray& bytes) {
              received.push_back({tag, bytes});
              return result;
          })
    {
    }
    std::vector<Request> received;
    HandoffServer server;
};

// Sends from another thread, since the receiving server needs this thread's event loop.
std::future<std::optional<int32_t>> SendAsync(const QString& name, uint32_t tag,
                                              const QByteArray& bytes, int connectMs = 2000,
                                              int answerMs = 5000)
{
    return std::async(std::launch::async,
                      [=] { return SendHandoff(name, tag, bytes, connectMs, answerMs); });
}

// What Await gives for a send that finished without an answer.
const std::optional<std::optional<int32_t>> kFailedSend =
    std::make_optional(std::optional<int32_t>());

// Runs the event loop until the send is over; nullopt when it never finished.
std::optional<std::optional<int32_t>> Await(std::future<std::optional<int32_t>>& sent,
                                            int timeoutMs = 5000)
{
    const bool done =
        QTest::qWaitFor([&] { return sent.wait_for(0ms) == std::future_status::ready; }, timeoutMs);
    if (!done) {
        return std::nullopt;
    }
    return sent.get();
}

QByteArray PathOf(const QString& name)
{
    return QFile::encodeName(RuntimeDirectory() + u'/' + name + u".sock");
}

sockaddr_un AddressOf(const QString& name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = PathOf(name);
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    return address;
}

// A hand-written client or listener, for the misbehaviour a real sender never shows.
struct RawSocket
{
    RawSocket() : fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~RawSocket() { ::close(fd); }
    bool Connect(const QString& name)
    {
        const sockaddr_un address = AddressOf(name);
        return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    bool Listen(const QString& name)
    {
        const sockaddr_un address = AddressOf(name);
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
               ::listen(fd, 4) == 0;
    }
    void Send(const void* data, size_t length)
    {
        ASSERT_EQ(::send(fd, data, length, MSG_NOSIGNAL), static_cast<ssize_t>(length));
    }
    void SendHeader(uint32_t tag, uint32_t count)
    {
        const uint32_t header[2] = {tag, count};
        Send(header, sizeof(header));
    }
    // True when the other side hung up (end of file or reset), spinning the event loop.
    bool HungUp(int timeoutMs = 3000)
    {
        return QTest::qWaitFor(
            [&] {
                char byte;
                const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
                return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            },
            timeoutMs);
    }
    int fd;
};

}  // namespace

TEST(Handoff, RoundTripDeliversTagAndBytesExactly)
{
    const QString name = QStringLiteral("round-trip");
    RecordingServer receiver(name, -5);
    QString error;
    ASSERT_TRUE(receiver.server.Listen(&error)) << error.toStdString();

    struct stat info = {};
    ASSERT_EQ(::lstat(PathOf(name).constData(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // NUL and 0xFF inside, no NUL at the end: the receiver decides where the text stops.
    const QByteArray path("rec\0x\xff/../a.ttyrec", 19);
    auto sent = SendAsync(name, 21089, path);
    EXPECT_EQ(Await(sent), std::optional<int32_t>(-5));
    ASSERT_EQ(receiver.received.size(), 1u);
    EXPECT_EQ(receiver.received[0].tag, 21089u);
    EXPECT_EQ(receiver.received[0].bytes, path);

    // Empty and largest allowed requests pass as well.
    auto empty = SendAsync(name, 7, QByteArray());
    EXPECT_EQ(Await(empty), std::optional<int32_t>(-5));
    const QByteArray largest(HandoffServer::kMaxRequestBytes, 'z');
    auto large = SendAsync(name, 8, largest);
    EXPECT_EQ(Await(large), std::optional<int32_t>(-5));
    ASSERT_EQ(receiver.received.size(), 3u);
    EXPECT_EQ(receiver.received[1].tag, 7u);
    EXPECT_TRUE(receiver.received[1].bytes.isEmpty());
    EXPECT_EQ(receiver.received[2].bytes, largest);
    EXPECT_TRUE(QTest::qWaitFor([&] { return receiver.server.ClientCount() == 0; }, 1000));
}

TEST(Handoff, RequestArrivingByteByByteIsAnsweredWhole)
{
    const QString name = QStringLiteral("byte-by-byte");
    RecordingServer receiver(name, 3);
    ASSERT_TRUE(receiver.server.Listen());
    RawSocket client;
    ASSERT_TRUE(client.Connect(name));

    const uint32_t header[2] = {21089, 5};
    QByteArray request(reinterpret_cast<const char*>(header), sizeof(header));
    request += QByteArray("a\0b\0c", 5);
    for (char byte : request) {
        client.Send(&byte, 1);
        QTest::qWait(2);
    }
    int32_t answer = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ::recv(client.fd, &answer, sizeof(answer), MSG_DONTWAIT | MSG_PEEK) == 4; },
        3000));
    ASSERT_EQ(::recv(client.fd, &answer, sizeof(answer), 0), 4);
    EXPECT_EQ(answer, 3);
    ASSERT_EQ(receiver.received.size(), 1u);
    EXPECT_EQ(receiver.received[0].tag, 21089u);
    EXPECT_EQ(receiver.received[0].bytes, QByteArray("a\0b\0c", 5));
    EXPECT_TRUE(client.HungUp()) << "one request per connection";
}

TEST(Handoff, SilentPartialClientBlocksNobodyAndIsHungUpOn)
{
    const QString name = QStringLiteral("silent-client");
    RecordingServer receiver(name);
    receiver.server.SetClientTimeout(400);
    ASSERT_TRUE(receiver.server.Listen());

    RawSocket halfHeader;
    ASSERT_TRUE(halfHeader.Connect(name));
    halfHeader.Send("\x61\x52\0\0\x05", 5);
    RawSocket halfBody;
    ASSERT_TRUE(halfBody.Connect(name));
    halfBody.SendHeader(21089, 10);
    halfBody.Send("abc", 3);

    auto sent = SendAsync(name, 21089, "next.ttyrec");
    EXPECT_EQ(Await(sent), std::optional<int32_t>(1));
    ASSERT_EQ(receiver.received.size(), 1u);
    EXPECT_EQ(receiver.received[0].bytes, QByteArray("next.ttyrec"));

    EXPECT_TRUE(halfHeader.HungUp());
    EXPECT_TRUE(halfBody.HungUp());
    EXPECT_EQ(receiver.server.ClientCount(), 0);
    EXPECT_EQ(receiver.received.size(), 1u) << "partial requests never reach the handler";
}

TEST(Handoff, ClosingRefusesEveryoneStillWaiting)
{
    const QString name = QStringLiteral("closing");
    auto receiver = std::make_unique<RecordingServer>(name);
    ASSERT_TRUE(receiver->server.Listen());
    RawSocket accepted;
    ASSERT_TRUE(accepted.Connect(name));
    accepted.SendHeader(21089, 10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver->server.ClientCount() == 1; }, 1000));
    RawSocket queued;  // still in the backlog: the loop never ran for it
    ASSERT_TRUE(queued.Connect(name));
    queued.SendHeader(21089, 0);

    receiver.reset();
    for (RawSocket* client : {&accepted, &queued}) {
        int32_t answer = -1;
        EXPECT_EQ(::recv(client->fd, &answer, sizeof(answer), MSG_WAITALL),
                  static_cast<ssize_t>(sizeof(answer)));
        EXPECT_EQ(answer, 0);
    }
}

TEST(Handoff, OversizeRequestsAreRefused)
{
    const QString name = QStringLiteral("oversize");
    RecordingServer receiver(name);
    ASSERT_TRUE(receiver.server.Listen());

    RawSocket client;
    ASSERT_TRUE(client.Connect(name));
    client.SendHeader(21089, HandoffServer::kMaxRequestBytes + 1);
    EXPECT_TRUE(client.HungUp());

    RawSocket huge;
    ASSERT_TRUE(huge.Connect(name));
    huge.SendHeader(21089, 0xFFFFFFFFu);
    EXPECT_TRUE(huge.HungUp());

    // The sender does not even try.
    const QByteArray tooLarge(HandoffServer::kMaxRequestBytes + 1, 'x');
    auto sent = SendAsync(name, 21089, tooLarge);
    EXPECT_EQ(Await(sent), kFailedSend);
    EXPECT_TRUE(receiver.received.empty());
}

TEST(Handoff, ClientHangingUpEarlyIsForgotten)
{
    const QString name = QStringLiteral("early-hangup");
    RecordingServer receiver(name);
    ASSERT_TRUE(receiver.server.Listen());
    {
        RawSocket client;
        ASSERT_TRUE(client.Connect(name));
        client.SendHeader(21089, 100);
        client.Send("half", 4);
        ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.server.ClientCount() == 1; }, 1000));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return receiver.server.ClientCount() == 0; }, 1000));
    EXPECT_TRUE(receiver.received.empty());
}

TEST(Handoff, HandlerThatThrowsAnswersZeroAndServerGoesOn)
{
    const QString name = QStringLiteral("throwing");
    int calls = 0;
    HandoffServer server(name, [&](uint32_t, const QByteArray&) -> int32_t {
        if (++calls == 1) {
            throw std::runtime_error("broken");
        }
        return 1;
    });
    ASSERT_TRUE(server.Listen());
    auto first = SendAsync(name, 21089, "a");
    EXPECT_EQ(Await(first), std::optional<int32_t>(0));
    auto second = SendAsync(name, 21089, "b");
    EXPECT_EQ(Await(second), std::optional<int32_t>(1));
    EXPECT_EQ(calls, 2);
}

// A handler may run a nested event loop (an error box does); requests arriving meanwhile are
// served inside it, and the first one is still answered once its handler returns.
TEST(Handoff, HandlerRunningANestedLoopStillAnswersEveryone)
{
    const QString name = QStringLiteral("nested");
    std::vector<QByteArray> order;
    std::future<std::optional<int32_t>> inner;
    HandoffServer server(name, [&](uint32_t, const QByteArray& bytes) -> int32_t {
        order.push_back(bytes);
        if (bytes == "outer") {
            inner = SendAsync(name, 21089, "inner");
            return QTest::qWaitFor([&] { return order.size() == 2; }, 3000) ? 10 : -1;
        }
        return 20;
    });
    ASSERT_TRUE(server.Listen());
    auto outer = SendAsync(name, 21089, "outer");
    EXPECT_EQ(Await(outer), std::optional<int32_t>(10));
    ASSERT_TRUE(inner.valid());
    EXPECT_EQ(Await(inner), std::optional<int32_t>(20));
    EXPECT_EQ(order, (std::vector<QByteArray>{"outer", "inner"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.ClientCount() == 0; }, 1000));
}

TEST(Handoff, SendToNobodyOrToADeadEndpointFailsInTime)
{
    const QString name = QStringLiteral("nobody");
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(SendHandoff(name, 21089, "x", 200, 1000), std::nullopt);
    EXPECT_LT(clock.elapsed(), 1500);

    // The socket file of an endpoint that died: connections are refused.
    {
        RawSocket dead;
        ASSERT_TRUE(dead.Listen(name));
    }
    ASSERT_TRUE(QFileInfo::exists(QFile::decodeName(PathOf(name))));
    clock.restart();
    EXPECT_EQ(SendHandoff(name, 21089, "x", 200, 1000), std::nullopt);
    EXPECT_LT(clock.elapsed(), 1500);

    // An endpoint that takes the request but never answers.
    RawSocket silent;
    ASSERT_EQ(::unlink(PathOf(name).constData()), 0);
    ASSERT_TRUE(silent.Listen(name));
    clock.restart();
    EXPECT_EQ(SendHandoff(name, 21089, "x", 200, 300), std::nullopt);
    EXPECT_LT(clock.elapsed(), 1500);
}

TEST(Handoff, ListenReplacesStaleSocketButNotALiveEndpoint)
{
    const QString name = QStringLiteral("stale");
    {
        RawSocket dead;
        ASSERT_TRUE(dead.Listen(name));
    }
    auto receiver = std::make_unique<RecordingServer>(name);
    QString error;
    ASSERT_TRUE(receiver->server.Listen(&error)) << error.toStdString();

    RecordingServer intruder(name);
    EXPECT_FALSE(intruder.server.Listen(&error));
    EXPECT_FALSE(error.isEmpty());
    auto sent = SendAsync(name, 1, "still mine");
    EXPECT_EQ(Await(sent), std::optional<int32_t>(1));
    ASSERT_EQ(receiver->received.size(), 1u);

    // Closing removes the socket file, so nobody knocks at a dead endpoint.
    receiver.reset();
    EXPECT_FALSE(QFileInfo::exists(QFile::decodeName(PathOf(name))));
    EXPECT_EQ(SendHandoff(name, 1, "gone", 100, 500), std::nullopt);
}

TEST(Handoff, SenderWaitsForAnEndpointStillStarting)
{
    const QString name = QStringLiteral("late-listener");
    RecordingServer receiver(name);
    auto sent = SendAsync(name, 21089, "early.ttyrec", 3000);
    QTest::qWait(300);
    ASSERT_TRUE(receiver.server.Listen());
    EXPECT_EQ(Await(sent), std::optional<int32_t>(1));
    ASSERT_EQ(receiver.received.size(), 1u);
}

// Another user cannot feed the endpoint. The client drops its effective uid but keeps
// root's file access (fsuid), so it reaches the socket and only the uid check stops it.
TEST(Handoff, OtherUsersAreRefused)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    const QString name = QStringLiteral("other-user");
    RecordingServer receiver(name);
    ASSERT_TRUE(receiver.server.Listen());
    const sockaddr_un address = AddressOf(name);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setresuid(static_cast<uid_t>(-1), 65534, 0) != 0) {
            ::_exit(3);
        }
        ::setfsuid(0);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::_exit(4);
        }
        const uint32_t header[2] = {21089, 1};
        (void)!::send(fd, header, sizeof(header), MSG_NOSIGNAL);
        (void)!::send(fd, "x", 1, MSG_NOSIGNAL);
        int32_t answer = 0;
        ::alarm(5);
        // 0: hung up on without an answer, as it should be.
        ::_exit(::recv(fd, &answer, sizeof(answer), MSG_WAITALL) == sizeof(answer) ? 1 : 0);
    }
    int status = -1;
    const bool ended =
        QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 6000);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(receiver.received.empty());
}

TEST(Handoff, ACrowdOfSilentClientsIsTurnedAwayPastTheCap)
{
    const QString name = QStringLiteral("crowd");
    RecordingServer receiver(name);
    ASSERT_TRUE(receiver.server.Listen());
    std::vector<std::unique_ptr<RawSocket>> crowd;
    for (int i = 0; i < 20; ++i) {
        crowd.push_back(std::make_unique<RawSocket>());
        ASSERT_TRUE(crowd.back()->Connect(name));
        QTest::qWait(10);  // a full backlog would block the next connect
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.server.ClientCount() == 16; }, 2000));
    QTest::qWait(100);
    EXPECT_EQ(receiver.server.ClientCount(), 16);
    // The ones past the cap are hung up at once, not left waiting for the timeout.
    EXPECT_TRUE(crowd.back()->HungUp(1000));
    EXPECT_FALSE(crowd.front()->HungUp(200));
}
