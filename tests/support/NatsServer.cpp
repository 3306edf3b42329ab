#include "support/NatsServer.h"

#include <signal.h>

#include <QFileInfo>
#include <QStandardPaths>

#include "support/Loopback.h"

namespace {
QString Program()
{
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("nats-server"));
    if (!inPath.isEmpty()) {
        return inPath;
    }
    // Debian puts it under sbin, which a test's PATH may not hold.
    const QString sbin = QStringLiteral("/usr/sbin/nats-server");
    return QFileInfo(sbin).isExecutable() ? sbin : QString();
}
}  // namespace

NatsServer::NatsServer() : port_(FreePort())
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

NatsServer::~NatsServer()
{
    Stop();
}

bool NatsServer::Available()
{
    return !Program().isEmpty();
}

bool NatsServer::Start()
{
    process_.start(Program(), {QStringLiteral("-js"), QStringLiteral("-a"),
                               QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                               QString::number(port_), QStringLiteral("-sd"), store_.path()});
    if (!process_.waitForStarted(5000)) {
        return false;
    }
    return WaitForListening(port_, 10000);
}

void NatsServer::Stop()
{
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(5000)) {
        ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
        process_.waitForFinished(5000);
    }
    log_ += process_.readAll();
}

QByteArray NatsServer::Url() const
{
    return "nats://127.0.0.1:" + QByteArray::number(port_);
}

pid_t NatsServer::Pid() const
{
    return static_cast<pid_t>(process_.processId());
}

QString NatsServer::Log()
{
    log_ += process_.readAll();
    return QString::fromUtf8(log_);
}
