// The server component's public face on real loopback sockets: opening and closing, its
// properties, the connection list and the events around a connection's life.
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <QPointer>
#include <cstring>
#include <memory>
#include <vector>

#include "ServerFixture.h"
#include "common/Texts.h"

namespace {

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

class ScktCompTest : public ServerFixture
{
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
    TServerSocket second(budget);
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
    auto owned = std::make_unique<TServerSocket>(budget);
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

}  // namespace
