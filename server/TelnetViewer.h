#pragma once

#include <QObject>

#include "server/ViewerConnection.h"

class TCustomWinSocket;

// A telnet connection of the server component as a viewer of the hub. It is a child of
// its connection, so it lives exactly as long as the connection does.
class TelnetViewer final : public QObject, public ViewerConnection
{
    Q_OBJECT

public:
    explicit TelnetViewer(TCustomWinSocket* socket);

    // The viewer of a connection, made on first use.
    static TelnetViewer* Of(TCustomWinSocket* socket);

    Encoding FrameEncoding() const override { return Encoding::Telnet; }
    void Send(const QByteArray& bytes) override;
    qsizetype PendingBytes() const override;
    bool IsConnected() const override;
    QString PeerAddress() override;
    QHostAddress ClientAddress() const override;
    void Close() override;
    void TurnAway(const QString& reason) override;

private:
    TCustomWinSocket* socket_;
};
