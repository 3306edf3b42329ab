// A server component on a loopback port of its own (port 0), with the program's error
// handling and a log of the events, shared by the tests of the component, of its
// connections' I/O and of its acceptor.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QStringList>
#include <cerrno>

#include "platform/ErrorDisplay.h"
#include "server/MemoryBudget.h"
#include "server/ScktComp.h"
#include "support/LoopbackClient.h"

inline constexpr int kWaitMs = 5000;

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

class ServerFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ErrorDisplay::SetHeadless(true);
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
        EXPECT_EQ(budget.Total(), 0);
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

    // What the error handler logs for a send refused for want of memory, then the hang-up.
    static QStringList RefusedSendLog()
    {
        return {QStringLiteral("error %1 %2").arg(int(erSend)).arg(ENOBUFS),
                QStringLiteral("disconnect")};
    }

    MemoryBudget budget;
    TServerSocket server{budget};
    QStringList log;
    TCustomWinSocket* last = nullptr;
};
