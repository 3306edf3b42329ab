// The server component on real loopback sockets, each server on a port of its own (port 0).
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "common/Texts.h"
#include "server/HeldMemory.h"
#include "server/ScktComp.h"
#include "support/LoopbackClient.h"

namespace {

constexpr int kWaitMs = 5000;

QString PlatformError(int code, const char* api)
{
    return Texts::SocketError.arg(QString::fromLocal8Bit(std::strerror(code)),
                                  QString::number(code), QString::fromLatin1(api));
}

bool IsListening(int fd)
{
    int listening = -1;
    socklen_t length = sizeof listening;
    ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    return listening == 1;
}

// Counts socket notifications of the whole application, to tell a quiet loop from a busy one.
class SocketActivationCounter : public QObject
{
public:
    SocketActivationCounter() { QCoreApplication::instance()->installEventFilter(this); }
    ~SocketActivationCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::SockAct) {
            ++count;
        }
        return QObject::eventFilter(watched, event);
    }
};

class ScktCompTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server.OnClientConnect = [this](QObject*, TCustomWinSocket* socket) {
            log << QStringLiteral("connect");
            last = socket;
        };
        server.OnClientDisconnect = [this](QObject*, TCustomWinSocket*) {
            log << QStringLiteral("disconnect");
        };
        // What the program does: hang up and swallow the error.
        server.OnClientError = [this](QObject*, TCustomWinSocket* socket, TErrorEvent kind,
                                      int& code) {
            log << QStringLiteral("error %1 %2").arg(int(kind)).arg(code);
            socket->Hangup();
            code = 0;
        };
    }

    void TearDown() override
    {
        server.SetActive(false);
        EXPECT_EQ(TCustomWinSocket::PendingBytesTotal(), 0);
    }

    int Open()
    {
        server.SetPort(0);
        server.SetActive(true);
        return server.LocalPort();
    }

    // Connects a client and waits until the server has listed it.
    TServerClientWinSocket* Accept(LoopbackClient& client)
    {
        LoopbackClient::Pump();  // releases still queued happen first
        const int before = Connections();
        EXPECT_TRUE(client.Connect(server.LocalPort()));
        EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() > before; }, kWaitMs));
        return Connections() > before ? server.ListeningSocket()->ConnectionAt(before) : nullptr;
    }

    int Connections() const { return server.ListeningSocket()->ConnectionCount(); }

    TServerSocket server;
    QStringList log;
    TCustomWinSocket* last = nullptr;
};

TEST_F(ScktCompTest, Open_ListenRunsBetweenBindAndListen_ThrowingListenCloses)
{
    bool listeningDuringEvent = true;
    int portDuringEvent = 0;
    server.OnListen = [&](QObject* sender, TCustomWinSocket* socket) {
        EXPECT_EQ(sender, &server);
        EXPECT_EQ(socket, server.ListeningSocket());
        EXPECT_TRUE(server.Active());
        listeningDuringEvent = IsListening(socket->SocketDescriptor());
        portDuringEvent = server.LocalPort();
    };
    const int port = Open();
    EXPECT_FALSE(listeningDuringEvent);
    EXPECT_EQ(portDuringEvent, port);
    EXPECT_GT(port, 0);
    EXPECT_TRUE(IsListening(server.ListeningSocket()->SocketDescriptor()));
    EXPECT_TRUE(server.ListeningSocket()->IsConnected());

    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.ListeningSocket()->SocketDescriptor(), -1);

    server.OnListen = [](QObject*, TCustomWinSocket*) { throw ESocketError(QStringLiteral("no")); };
    EXPECT_THROW(server.SetActive(true), ESocketError);
    EXPECT_FALSE(server.Active());
    EXPECT_FALSE(server.ListeningSocket()->IsConnected());
    EXPECT_EQ(server.ListeningSocket()->SocketDescriptor(), -1);
}

TEST_F(ScktCompTest, Open_PortTaken_RaisesBindWithPlatformNumber)
{
    const int port = Open();
    TServerSocket second;
    bool listened = false;
    second.OnListen = [&](QObject*, TCustomWinSocket*) { listened = true; };
    second.SetPort(port);
    try {
        second.SetActive(true);
        ADD_FAILURE() << "opening a taken port succeeded";
    } catch (const ESocketError& error) {
        EXPECT_EQ(error.Message(), PlatformError(EADDRINUSE, "bind"));
    }
    EXPECT_FALSE(listened);
    EXPECT_FALSE(second.Active());
    EXPECT_EQ(second.ListeningSocket()->SocketDescriptor(), -1);
}

TEST_F(ScktCompTest, Open_AgainAfterClosingWithConnections_BindsSamePort)
{
    const int port = Open();
    LoopbackClient client;
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->SendBytes(QByteArray("hello")), 5);
    ASSERT_TRUE(client.WaitForBytes(5, kWaitMs));
    // The server closes first, so its side of the connection lingers in TIME_WAIT.
    server.SetActive(false);
    EXPECT_TRUE(client.WaitForClose(kWaitMs));
    server.SetPort(port);
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.LocalPort(), port);
}

TEST_F(ScktCompTest, Properties_ChangeWhileActive_RaisesUnlessSameValue)
{
    EXPECT_EQ(server.ThreadCacheSize(), 10);
    EXPECT_EQ(server.ServerType(), stNonBlocking);
    server.SetService(QStringLiteral("Echo"));
    server.SetService(QString());
    const int port = Open();
    EXPECT_NO_THROW(server.SetPort(0));
    EXPECT_NO_THROW(server.SetServerType(stNonBlocking));
    try {
        server.SetPort(port);
        ADD_FAILURE() << "changing the port while active succeeded";
    } catch (const ESocketError& error) {
        EXPECT_EQ(error.Message(), Texts::SocketInUse);
    }
    EXPECT_THROW(server.SetService(QStringLiteral("telnet")), ESocketError);
    EXPECT_THROW(server.SetServerType(stThreadBlocking), ESocketError);
    EXPECT_EQ(server.Port(), 0);
    EXPECT_TRUE(server.Service().isEmpty());

    server.SetActive(false);
    server.SetServerType(stThreadBlocking);
    try {
        server.SetActive(true);
        ADD_FAILURE() << "thread mode opened";
    } catch (const ESocketError& error) {
        EXPECT_EQ(error.Message(), Texts::ThreadModeUnsupported);
    }
    EXPECT_FALSE(server.Active());
    server.SetServerType(stNonBlocking);

    server.SetService(QStringLiteral("no-such-service-here"));
    EXPECT_THROW(server.SetActive(true), ESocketError);
    EXPECT_FALSE(server.Active());
}

TEST_F(ScktCompTest, Open_Service_ListensOnItsPort)
{
    const servent* entry = ::getservbyname("tfido", "tcp");
    if (entry == nullptr) {
        GTEST_SKIP() << "the service database has no tfido";
    }
    server.SetService(QStringLiteral("tfido"));
    server.SetActive(true);
    EXPECT_EQ(server.LocalPort(), ntohs(static_cast<uint16_t>(entry->s_port)));
}

TEST_F(ScktCompTest, Accept_ConnectSeesNewestListedEntry_ThenAccept)
{
    Open();
    QStringList order;
    server.OnClientConnect = [&](QObject* sender, TCustomWinSocket* socket) {
        TServerWinSocket* listening = server.ListeningSocket();
        EXPECT_EQ(sender, listening);
        ASSERT_GT(listening->ConnectionCount(), 0);
        EXPECT_EQ(listening->ConnectionAt(listening->ConnectionCount() - 1), socket);
        EXPECT_TRUE(socket->IsConnected());
        EXPECT_EQ(socket->PeerAddress(), QStringLiteral("127.0.0.1"));
        order << QStringLiteral("connect %1").arg(listening->ConnectionCount());
    };
    server.OnAccept = [&](QObject* sender, TCustomWinSocket* socket) {
        EXPECT_EQ(sender, &server);
        EXPECT_EQ(socket, server.ListeningSocket()->ConnectionAt(Connections() - 1));
        order << QStringLiteral("accept %1").arg(Connections());
    };
    LoopbackClient first;
    LoopbackClient second;
    TCustomWinSocket* one = Accept(first);
    TCustomWinSocket* two = Accept(second);
    EXPECT_EQ(order, QStringList({"connect 1", "accept 1", "connect 2", "accept 2"}));
    EXPECT_EQ(server.ListeningSocket()->ConnectionAt(0), one);
    EXPECT_EQ(server.ListeningSocket()->ConnectionAt(1), two);
}

TEST_F(ScktCompTest, ConnectionAt_OutsideList_RaisesListErrorWithIndex)
{
    TServerWinSocket* listening = server.ListeningSocket();
    const auto messageAt = [listening](int index) {
        try {
            listening->ConnectionAt(index);
        } catch (const EListError& error) {
            return error.Message();
        }
        return QString();
    };
    EXPECT_EQ(messageAt(0), Texts::ListIndexOutOfBounds.arg(0));
    Open();
    LoopbackClient client;
    ASSERT_NE(Accept(client), nullptr);
    EXPECT_EQ(messageAt(1), Texts::ListIndexOutOfBounds.arg(1));
    EXPECT_EQ(messageAt(-1), Texts::ListIndexOutOfBounds.arg(-1));
    EXPECT_TRUE(messageAt(0).isEmpty());
}

TEST_F(ScktCompTest, Send_PeerReadsLate_ReceivesEveryByteInOrder)
{
    Open();
    int writes = 0;
    server.OnClientWrite = [&](QObject*, TCustomWinSocket*) { ++writes; };
    LoopbackClient client;
    client.SetReceiveBufferSize(4096);
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    // A small send buffer, so that most of the bytes have to wait in the queue.
    const int sendBuffer = 32 * 1024;
    ::setsockopt(connection->SocketDescriptor(), SOL_SOCKET, SO_SNDBUF, &sendBuffer,
                 sizeof sendBuffer);

    QByteArray expected;
    bool queued = false;
    for (int chunk = 0; chunk < 128; ++chunk) {
        QByteArray bytes(64 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            bytes[i] = char((chunk * 131 + i * 7) & 0xFF);
        }
        expected += bytes;
        const qsizetype pendingBefore = connection->PendingBytes();
        const int taken = chunk % 2 == 0
                              ? connection->SendBytes(bytes)
                              : connection->SendBytes(bytes.constData(), int(bytes.size()));
        if (pendingBefore > 0) {
            EXPECT_EQ(taken, -1);
        }
        queued = queued || connection->PendingBytes() > 0;
    }
    ASSERT_TRUE(queued) << "the system took everything; nothing was tested";
    // The peer does not read for a while; the loop goes on meanwhile.
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 100) {
        LoopbackClient::Pump(5);
    }
    EXPECT_GT(connection->PendingBytes(), 0);
    EXPECT_EQ(writes, 0);
    ASSERT_TRUE(client.WaitForBytes(expected.size(), 30000));
    EXPECT_TRUE(client.Received() == expected);
    EXPECT_TRUE(
        LoopbackClient::PumpUntil([&] { return connection->PendingBytes() == 0; }, kWaitMs));
    EXPECT_EQ(writes, 1);
}

TEST_F(ScktCompTest, Send_QueuedBlock_CountsItsWholeAllocation)
{
    Open();
    LoopbackClient client;
    client.SetReceiveBufferSize(4096);
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    // A block with room for twice its bytes, as a reader leaves it.
    QByteArray block(1024 * 1024, 'z');
    block.reserve(2 * block.size());
    const qsizetype allocation = block.capacity();
    for (int i = 0; i < 64 && connection->PendingBytes() == 0; ++i) {
        connection->SendBytes(block);
    }
    ASSERT_GT(connection->PendingBytes(), 0) << "the system took everything";
    EXPECT_GE(connection->PendingBytes(), allocation);
    const qsizetype before = connection->PendingBytes();
    connection->SendBytes(block);
    EXPECT_GE(connection->PendingBytes() - before, allocation);
    EXPECT_EQ(TCustomWinSocket::PendingBytesTotal(), connection->PendingBytes());
}

TEST_F(ScktCompTest, Send_PastConnectionBound_HangsUpInsideTheSend)
{
    Open();
    LoopbackClient client;
    client.SetReceiveBufferSize(4096);
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    QPointer<TCustomWinSocket> alive(connection);
    const QByteArray block(64 * 1024 * 1024, 'x');
    log.clear();
    int result = 0;
    for (int i = 0; i < 8 && log.isEmpty(); ++i) {
        const bool passes =
            connection->PendingBytes() + block.size() > kMaxPendingBytesPerConnection;
        result = connection->SendBytes(block);
        EXPECT_EQ(passes, !log.isEmpty()) << "send " << i;
    }
    EXPECT_EQ(log, QStringList({QStringLiteral("error %1 %2").arg(int(erSend)).arg(ENOBUFS),
                                QStringLiteral("disconnect")}));
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(connection->IsConnected());
    EXPECT_EQ(connection->PendingBytes(), 0);
    EXPECT_EQ(TCustomWinSocket::PendingBytesTotal(), 0);
    EXPECT_EQ(Connections(), 1);
    EXPECT_TRUE(client.WaitForClose(30000));
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 0; }, kWaitMs));
    EXPECT_TRUE(alive.isNull());
}

TEST_F(ScktCompTest, Send_PastTotalBound_HangsUpThatConnectionOnly)
{
    Open();
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    std::vector<QPointer<TCustomWinSocket>> connections;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>());
        clients.back()->SetReceiveBufferSize(4096);
        connections.emplace_back(Accept(*clients.back()));
        ASSERT_FALSE(connections.back().isNull());
    }
    const QByteArray block(64 * 1024 * 1024, 'y');
    log.clear();
    int failed = -1;
    for (int round = 0; round < 3 && failed < 0; ++round) {
        for (int i = 0; i < 6 && failed < 0; ++i) {
            const qsizetype totalBefore = TCustomWinSocket::PendingBytesTotal();
            const qsizetype ownBefore = connections[i]->PendingBytes();
            connections[i]->SendBytes(block);
            if (!log.isEmpty()) {
                failed = i;
                EXPECT_GT(totalBefore + block.size(), kMaxPendingBytesTotal);
                EXPECT_LE(ownBefore + block.size(), kMaxPendingBytesPerConnection);
            }
            EXPECT_LE(TCustomWinSocket::PendingBytesTotal(), kMaxPendingBytesTotal);
        }
    }
    ASSERT_GE(failed, 0);
    EXPECT_EQ(log, QStringList({QStringLiteral("error %1 %2").arg(int(erSend)).arg(ENOBUFS),
                                QStringLiteral("disconnect")}));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(connections[i]->IsConnected(), i != failed) << i;
    }
}

TEST_F(ScktCompTest, Send_ToResetPeer_ErrorThenDisconnectInsideTheSend)
{
    Open();
    LoopbackClient client;
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    log.clear();
    client.Reset();
    ::usleep(20000);  // the reset arrives; the loop does not run
    EXPECT_EQ(connection->SendBytes("x", 1), -1);
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("error %1 ").arg(int(erSend))));
    EXPECT_EQ(log[1], QStringLiteral("disconnect"));
    EXPECT_EQ(connection->SendBytes("x", 1), 0);

    // An error handler that leaves the code raises it to the caller, after the teardown.
    server.OnClientError = [](QObject*, TCustomWinSocket*, TErrorEvent, int&) {};
    LoopbackClient other;
    connection = Accept(other);
    ASSERT_NE(connection, nullptr);
    other.Reset();
    ::usleep(20000);
    try {
        connection->SendBytes("x", 1);
        ADD_FAILURE() << "a failed send was silent";
    } catch (const ESocketError& error) {
        EXPECT_TRUE(error.Message().endsWith(QStringLiteral("[API 'send']"))) << error.what();
    }
    EXPECT_FALSE(connection->IsConnected());
}

TEST_F(ScktCompTest, PeerReset_ReportsDisconnectError)
{
    Open();
    QList<int> codes;
    server.OnClientError = [&](QObject* sender, TCustomWinSocket* socket, TErrorEvent kind,
                               int& code) {
        EXPECT_EQ(sender, server.ListeningSocket());
        EXPECT_EQ(kind, erDisconnect);
        codes << code;
        log << QStringLiteral("error");
        socket->Hangup();
        code = 0;
    };
    LoopbackClient client;
    ASSERT_NE(Accept(client), nullptr);
    log.clear();
    client.Reset();
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 0; }, kWaitMs));
    EXPECT_EQ(codes, QList<int>({ECONNRESET}));
    EXPECT_EQ(log, QStringList({"error", "disconnect"}));
}

TEST_F(ScktCompTest, PeerClose_ReadFirstThenDisconnectWhileListed_ReleasedLater)
{
    Open();
    QByteArray read;
    server.OnClientRead = [&](QObject*, TCustomWinSocket* socket) {
        read += socket->ReceiveAvailableText();
        log << QStringLiteral("read");
    };
    QPointer<TCustomWinSocket> gone;
    server.OnClientDisconnect = [&](QObject* sender, TCustomWinSocket* socket) {
        EXPECT_EQ(sender, server.ListeningSocket());
        EXPECT_EQ(Connections(), 1);
        EXPECT_EQ(server.ListeningSocket()->ConnectionAt(0), socket);
        EXPECT_TRUE(socket->IsConnected());
        EXPECT_GE(socket->SocketDescriptor(), 0);
        EXPECT_EQ(socket->PeerAddress(), QStringLiteral("127.0.0.1"));
        gone = socket;
        log << QStringLiteral("disconnect");
    };
    LoopbackClient client;
    ASSERT_NE(Accept(client), nullptr);
    log.clear();
    client.Send(QByteArray("abc"));
    client.Close();
    ASSERT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 0; }, kWaitMs));
    EXPECT_EQ(read, QByteArray("abc"));
    EXPECT_EQ(log.last(), QStringLiteral("disconnect"));
    EXPECT_EQ(log.count(QStringLiteral("disconnect")), 1);
    EXPECT_TRUE(gone.isNull());

    // Between the teardown and the release the connection is listed but closed.
    LoopbackClient other;
    TCustomWinSocket* connection = Accept(other);
    ASSERT_NE(connection, nullptr);
    connection->Hangup();
    EXPECT_EQ(Connections(), 1);
    EXPECT_FALSE(connection->IsConnected());
    EXPECT_EQ(connection->SocketDescriptor(), -1);
    EXPECT_EQ(connection->SendBytes("x", 1), 0);
    EXPECT_TRUE(connection->ReceiveAvailableText().isEmpty());
    EXPECT_TRUE(connection->PeerAddress().isEmpty());
    EXPECT_TRUE(other.WaitForClose(kWaitMs));
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 0; }, kWaitMs));
}

TEST_F(ScktCompTest, ReceiveAvailableText_PassesEveryByteValue)
{
    Open();
    QByteArray read;
    server.OnClientRead = [&](QObject*, TCustomWinSocket* socket) {
        read += socket->ReceiveAvailableText();
    };
    LoopbackClient client;
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(connection->ReceiveAvailableText().isEmpty());
    QByteArray sent;
    for (int value = 0; value < 256; ++value) {
        sent += char(value);
    }
    sent += QByteArray("\x00\xff\xff\x00", 4);
    client.Send(sent);
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return read.size() >= sent.size(); }, kWaitMs));
    EXPECT_EQ(read, sent);
}

TEST_F(ScktCompTest, CloseListener_FreesAllConnectionsWithoutEvents)
{
    Open();
    LoopbackClient clients[3];
    std::vector<QPointer<TCustomWinSocket>> connections;
    for (LoopbackClient& client : clients) {
        connections.emplace_back(Accept(client));
    }
    connections[1]->Hangup();  // its release is still queued
    log.clear();
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(Connections(), 0);
    for (const auto& connection : connections) {
        EXPECT_TRUE(connection.isNull());
    }
    LoopbackClient::Pump();
    EXPECT_TRUE(log.isEmpty()) << log.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(clients[0].WaitForClose(kWaitMs));
    EXPECT_TRUE(clients[2].WaitForClose(kWaitMs));

    // Destroying the component does the same.
    auto owned = std::make_unique<TServerSocket>();
    owned->OnClientDisconnect = [this](QObject*, TCustomWinSocket*) { log << "disconnect"; };
    owned->SetActive(true);
    LoopbackClient late;
    ASSERT_TRUE(late.Connect(owned->LocalPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil(
        [&] { return owned->ListeningSocket()->ConnectionCount() == 1; }, kWaitMs));
    QPointer<TCustomWinSocket> lateConnection = owned->ListeningSocket()->ConnectionAt(0);
    owned.reset();
    EXPECT_TRUE(lateConnection.isNull());
    EXPECT_TRUE(late.WaitForClose(kWaitMs));
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(ScktCompTest, ConnectHandlerThrows_ConnectionDroppedWithoutEvents)
{
    Open();
    bool accepted = false;
    server.OnClientConnect = [](QObject*, TCustomWinSocket*) {
        throw ESocketError(QStringLiteral("refused by the handler"));
    };
    server.OnAccept = [&](QObject*, TCustomWinSocket*) { accepted = true; };
    LoopbackClient client;
    ASSERT_TRUE(client.Connect(server.LocalPort()));
    EXPECT_TRUE(client.WaitForClose(kWaitMs));
    EXPECT_EQ(Connections(), 0);
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(log.isEmpty());
    EXPECT_TRUE(server.Active());
}

TEST_F(ScktCompTest, Read_HandlerTakesNothing_LoopStaysQuietAndBytesKeep)
{
    Open();
    int reads = 0;
    server.OnClientRead = [&](QObject*, TCustomWinSocket* socket) {
        ++reads;
        EXPECT_GT(socket->ReceiveBytes(nullptr, -1), 0);
    };
    LoopbackClient client;
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    client.Send(QByteArray("0123456789"));
    {
        SocketActivationCounter counter;
        client.ReadFor(200);
        EXPECT_LT(counter.count, 20);
    }
    EXPECT_EQ(reads, 1);

    // More than the connection holds for an idle handler, with no handler at all.
    server.OnClientRead = nullptr;
    QByteArray more(3 * kMaxUnreadBytes, Qt::Uninitialized);
    for (qsizetype i = 0; i < more.size(); ++i) {
        more[i] = char(i % 251);
    }
    client.Send(more);
    {
        SocketActivationCounter counter;
        client.ReadFor(200);
        EXPECT_LT(counter.count, 40);
    }

    // A handler that reads gets everything, in order, then the close.
    QByteArray read;
    server.OnClientRead = [&](QObject*, TCustomWinSocket* socket) {
        read += socket->ReceiveAvailableText();
    };
    read += connection->ReceiveAvailableText();
    const QByteArray expected = QByteArray("0123456789") + more;
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return read.size() >= expected.size(); }, kWaitMs));
    EXPECT_TRUE(read == expected);
    client.Close();
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 0; }, kWaitMs));
    EXPECT_EQ(log.count(QStringLiteral("disconnect")), 1);
}

TEST_F(ScktCompTest, Accept_OutOfDescriptors_RestsThenAccepts)
{
    Open();
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    LoopbackClient client;  // its descriptor exists before the table is full
    rlimit lowered = original;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd = ::dup(client.Fd()); fd >= 0; fd = ::dup(client.Fd())) {
        fillers.push_back(fd);
    }
    const int fillError = errno;
    const bool connected = client.Connect(server.LocalPort());
    int activations = 0;
    {
        SocketActivationCounter counter;
        client.ReadFor(300);
        activations = counter.count;
    }
    const int whileFull = Connections();
    for (int fd : fillers) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_EQ(fillError, EMFILE);
    ASSERT_TRUE(connected);
    EXPECT_EQ(whileFull, 0);
    EXPECT_LT(activations, 30);
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 1; }, kWaitMs));
}

}  // namespace

namespace {

TEST_F(ScktCompTest, CloseListenerInsideHandlers_NothingTouchesFreedConnections)
{
    Open();
    server.OnClientRead = [this](QObject*, TCustomWinSocket*) { server.SetActive(false); };
    LoopbackClient reader;
    ASSERT_NE(Accept(reader), nullptr);
    LoopbackClient bystander;
    ASSERT_NE(Accept(bystander), nullptr);
    reader.Send(QByteArray("q"));
    EXPECT_TRUE(reader.WaitForClose(kWaitMs));
    EXPECT_TRUE(bystander.WaitForClose(kWaitMs));
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(Connections(), 0);

    server.SetActive(true);
    server.OnClientDisconnect = [this](QObject*, TCustomWinSocket*) { server.SetActive(false); };
    LoopbackClient closer;
    ASSERT_NE(Accept(closer), nullptr);
    closer.Close();
    EXPECT_TRUE(LoopbackClient::PumpUntil([this] { return !server.Active(); }, kWaitMs));
    EXPECT_EQ(Connections(), 0);
    LoopbackClient::Pump();
}

TEST_F(ScktCompTest, Send_SlowViewer_DoesNotHoldUpTheOthers)
{
    Open();
    LoopbackClient slow;
    slow.SetReceiveBufferSize(4096);
    LoopbackClient fast;
    TCustomWinSocket* toSlow = Accept(slow);
    TCustomWinSocket* toFast = Accept(fast);
    ASSERT_NE(toSlow, nullptr);
    ASSERT_NE(toFast, nullptr);
    const QByteArray frame(256 * 1024, 'f');
    qsizetype total = 0;
    for (int i = 0; i < 32; ++i) {
        toSlow->SendBytes(frame);
        toFast->SendBytes(frame);
        total += frame.size();
        fast.ReadFor(1);
    }
    EXPECT_TRUE(fast.WaitForBytes(total, kWaitMs));
    EXPECT_GT(toSlow->PendingBytes(), 0);
    EXPECT_EQ(toFast->PendingBytes(), 0);
}

TEST_F(ScktCompTest, Send_MemoryHeldOutsideTheQueuesCountsInTheTotalBound)
{
    Open();
    LoopbackClient client;
    client.SetReceiveBufferSize(4096);
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    // Newcomers' catch-ups hold all but 1 MiB of the bound: a queue of more is refused.
    HeldMemory held;
    held.Set(kMaxPendingBytesTotal - 1024 * 1024);
    log.clear();
    connection->SendBytes(QByteArray(8 * 1024 * 1024, 'h'));
    EXPECT_EQ(log, QStringList({QStringLiteral("error %1 %2").arg(int(erSend)).arg(ENOBUFS),
                                QStringLiteral("disconnect")}));
    EXPECT_EQ(TCustomWinSocket::PendingBytesTotal(), 0);
}

}  // namespace
