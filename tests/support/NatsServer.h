#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Debian's nats-server with JetStream, for the tests and benchmarks of leaders and relays:
// on 127.0.0.1, on a free port, with a store folder of its own, stopped by pid. It can be
// stopped and started again on the same port and store, as an operator restarts it.
class NatsServer
{
public:
    NatsServer();
    ~NatsServer();  // stops it
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // False when Debian's nats-server is not installed.
    static bool Available();

    // Starts it and waits until its port listens; false when it did not come up.
    bool Start();
    // SIGTERM, then SIGKILL after a grace period.
    void Stop();
    int Port() const { return port_; }
    QByteArray Url() const;
    pid_t Pid() const;
    // What it printed, for a failing test's message.
    QString Log();

private:
    QTemporaryDir store_;
    int port_;
    QProcess process_;
    QByteArray log_;
};
