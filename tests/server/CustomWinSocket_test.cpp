// A connection's I/O on real loopback sockets: sending through its own queue within the
// memory budget, receiving with held input, and failures inside a send or a read.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QPointer>
#include <memory>
#include <vector>

#include "ServerFixture.h"

namespace {

class CustomWinSocketTest : public ServerFixture
{
};

TEST_F(CustomWinSocketTest, Send_PeerReadsLate_ReceivesEveryByteInOrder)
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

TEST_F(CustomWinSocketTest, Send_SlowViewer_DoesNotHoldUpTheOthers)
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

TEST_F(CustomWinSocketTest, Send_QueuedBlock_CountsItsWholeAllocation)
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
    EXPECT_EQ(budget.Total(), connection->PendingBytes());
}

// A peer that reads nothing, behind a small send buffer, so that almost every block waits.
void StallSending(TCustomWinSocket* connection)
{
    const int sendBuffer = 4096;
    ::setsockopt(connection->SocketDescriptor(), SOL_SOCKET, SO_SNDBUF, &sendBuffer,
                 sizeof sendBuffer);
}

TEST_F(CustomWinSocketTest, Send_PastConnectionBound_HangsUpInsideTheSend)
{
    budget.SetLimits({4 * 1024 * 1024, qsizetype{1} << 40});
    Open();
    LoopbackClient client;
    client.SetReceiveBufferSize(4096);
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    StallSending(connection);
    QPointer<TCustomWinSocket> alive(connection);
    const QByteArray block(512 * 1024, 'x');
    log.clear();
    int result = 0;
    for (int i = 0; i < 32 && log.isEmpty(); ++i) {
        const bool passes =
            connection->PendingBytes() + MemoryBudget::MemoryOf(block) > budget.Limits().perViewer;
        result = connection->SendBytes(block);
        EXPECT_EQ(passes, !log.isEmpty()) << "send " << i;
    }
    EXPECT_EQ(log, RefusedSendLog());
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(connection->IsConnected());
    EXPECT_EQ(connection->PendingBytes(), 0);
    EXPECT_EQ(budget.Total(), 0);
    EXPECT_EQ(Connections(), 1);
    EXPECT_TRUE(client.WaitForClose(30000));
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 0; }, kWaitMs));
    EXPECT_TRUE(alive.isNull());
}

TEST_F(CustomWinSocketTest, Send_PastTotalBound_HangsUpThatConnectionOnly)
{
    budget.SetLimits({4 * 1024 * 1024, 10 * 1024 * 1024});
    Open();
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    std::vector<QPointer<TCustomWinSocket>> connections;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>());
        clients.back()->SetReceiveBufferSize(4096);
        connections.emplace_back(Accept(*clients.back()));
        ASSERT_FALSE(connections.back().isNull());
        StallSending(connections.back());
    }
    const QByteArray block(1024 * 1024, 'y');
    const qsizetype cost = MemoryBudget::MemoryOf(block);
    log.clear();
    int failed = -1;
    for (int round = 0; round < 3 && failed < 0; ++round) {
        for (int i = 0; i < 6 && failed < 0; ++i) {
            const qsizetype totalBefore = budget.Total();
            const qsizetype ownBefore = connections[i]->PendingBytes();
            connections[i]->SendBytes(block);
            if (!log.isEmpty()) {
                failed = i;
                EXPECT_GT(totalBefore + cost, budget.Limits().total);
                EXPECT_LE(ownBefore + cost, budget.Limits().perViewer);
            }
            EXPECT_LE(budget.Total(), budget.Limits().total);
        }
    }
    ASSERT_GE(failed, 0);
    EXPECT_EQ(log, RefusedSendLog());
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(connections[i]->IsConnected(), i != failed) << i;
    }
}

TEST_F(CustomWinSocketTest, Send_MemoryHeldOutsideTheQueuesCountsInTheTotalBound)
{
    Open();
    LoopbackClient client;
    client.SetReceiveBufferSize(4096);
    TCustomWinSocket* connection = Accept(client);
    ASSERT_NE(connection, nullptr);
    // Newcomers' catch-ups hold all but 1 MiB of the budget: a queue of more is refused.
    MemoryBudget::Account held(budget);
    held.Set(budget.Limits().total - 1024 * 1024);
    log.clear();
    connection->SendBytes(QByteArray(8 * 1024 * 1024, 'h'));
    EXPECT_EQ(log, RefusedSendLog());
    EXPECT_EQ(budget.Total(), held.Bytes());
}

TEST_F(CustomWinSocketTest, Send_ToResetPeer_ErrorThenDisconnectInsideTheSend)
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

TEST_F(CustomWinSocketTest, PeerReset_ReportsDisconnectError)
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

TEST_F(CustomWinSocketTest, ReceiveAvailableText_PassesEveryByteValue)
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

TEST_F(CustomWinSocketTest, Read_HandlerTakesNothing_LoopStaysQuietAndBytesKeep)
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

}  // namespace
