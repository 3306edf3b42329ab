// One memory budget for every viewer: browsers and telnet viewers that stop reading, and a
// catch-up's read-ahead, all count against the same limits, on real loopback connections.
#include "server/MemoryBudget.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <QPointer>
#include <memory>
#include <vector>

#include "platform/ErrorDisplay.h"
#include "server/ScktComp.h"
#include "server/WebServer.h"
#include "support/LoopbackClient.h"

namespace {

constexpr int kWaitMs = 5000;
constexpr qsizetype kMiB = 1024 * 1024;

// A browser that completes the WebSocket handshake and then never reads again.
std::unique_ptr<LoopbackClient> StalledPage(int port)
{
    auto client = std::make_unique<LoopbackClient>();
    client->SetReceiveBufferSize(4096);
    EXPECT_TRUE(client->Connect(port));
    client->Send(
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    return client;
}

TEST(MemoryBudget, StalledBrowsersTelnetViewersAndCatchUpsMeetOneSharedLimit)
{
    ErrorDisplay::SetHeadless(true);
    MemoryBudget budget({3 * kMiB, 5 * kMiB});
    WebServer web(budget);
    std::vector<ViewerConnection*> joined;
    std::vector<ViewerConnection*> left;
    web.OnJoin = [&](ViewerConnection* v) { joined.push_back(v); };
    web.OnLeave = [&](ViewerConnection* v) { left.push_back(v); };
    web.Listen(0);
    TServerSocket telnet(budget);
    int hangUps = 0;
    telnet.OnClientError = [&](QObject*, TCustomWinSocket* socket, TErrorEvent, int& code) {
        ++hangUps;
        socket->Hangup();
        code = 0;
    };
    telnet.SetPort(0);
    telnet.SetActive(true);

    // Two browsers that stop reading fall 2 MiB behind each, within their own limit.
    std::vector<std::unique_ptr<LoopbackClient>> pages;
    for (int i = 0; i < 2; ++i) {
        pages.push_back(StalledPage(web.LocalPort()));
        ASSERT_TRUE(
            LoopbackClient::PumpUntil([&] { return joined.size() == pages.size(); }, kWaitMs));
    }
    const QByteArray frame(256 * 1024, 'w');
    for (ViewerConnection* page : joined) {
        for (int i = 0; i < 64 && page->PendingBytes() < 2 * kMiB; ++i) {
            page->Send(frame);
        }
        ASSERT_GE(page->PendingBytes(), 2 * kMiB);
        ASSERT_TRUE(page->IsConnected());
    }

    // A telnet viewer that stops reading is hung up where everyone together reaches the
    // total, far below its own limit.
    LoopbackClient reader;
    reader.SetReceiveBufferSize(4096);
    ASSERT_TRUE(reader.Connect(telnet.LocalPort()));
    ASSERT_TRUE(LoopbackClient::PumpUntil(
        [&] { return telnet.ListeningSocket()->ConnectionCount() == 1; }, kWaitMs));
    // The browsers still hold more than a viewer may: what a telnet viewer can add before
    // the total is reached is less than its own limit.
    ASSERT_GT(budget.Total(), budget.Limits().total - budget.Limits().perViewer);
    QPointer<TCustomWinSocket> connection = telnet.ListeningSocket()->ConnectionAt(0);
    const int sendBuffer = 4096;
    ::setsockopt(connection->SocketDescriptor(), SOL_SOCKET, SO_SNDBUF, &sendBuffer,
                 sizeof sendBuffer);
    qsizetype ownAtHangUp = -1;
    for (int i = 0; i < 64 && hangUps == 0; ++i) {
        const qsizetype own = connection->PendingBytes();
        const qsizetype total = budget.Total();
        connection->SendBytes(frame);
        if (hangUps > 0) {
            ownAtHangUp = own;
            EXPECT_GT(total + MemoryBudget::MemoryOf(frame), budget.Limits().total);
        }
    }
    ASSERT_EQ(hangUps, 1) << "the telnet viewer was never hung up";
    EXPECT_LT(ownAtHangUp + MemoryBudget::MemoryOf(frame), budget.Limits().perViewer);
    EXPECT_LE(budget.Total(), budget.Limits().total);
    EXPECT_TRUE(left.empty());

    // What a waiting catch-up has read ahead takes the rest: the next frame for a browser
    // within its own limit closes it, and the other browser stays.
    MemoryBudget::Account catchUp(budget);
    catchUp.Set(budget.Limits().total - budget.Total() - 1024);
    ViewerConnection* first = joined[0];
    ASSERT_LE(first->PendingBytes() + MemoryBudget::MemoryOfCopy(frame.size()),
              budget.Limits().perViewer);
    first->Send(frame);
    ASSERT_EQ(left.size(), 1U);
    EXPECT_EQ(left[0], first);
    EXPECT_TRUE(joined[1]->IsConnected());

    // Everything held is given back as the viewers go.
    catchUp.Set(0);
    pages.clear();
    reader.Close();
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return budget.Total() == 0; }, kWaitMs))
        << budget.Total();
}

}  // namespace
