#include "server/TelnetViewer.h"

#include "platform/Exceptions.h"
#include "server/ScktComp.h"

TelnetViewer::TelnetViewer(TCustomWinSocket* socket) : QObject(socket), socket_(socket) {}

TelnetViewer* TelnetViewer::Of(TCustomWinSocket* socket)
{
    auto* viewer = socket->findChild<TelnetViewer*>(QString(), Qt::FindDirectChildrenOnly);
    return viewer != nullptr ? viewer : new TelnetViewer(socket);
}

void TelnetViewer::Send(const QByteArray& bytes)
{
    socket_->SendBytes(bytes);
}

qsizetype TelnetViewer::PendingBytes() const
{
    return socket_->PendingBytes();
}

bool TelnetViewer::IsConnected() const
{
    return socket_->IsConnected();
}

QString TelnetViewer::PeerAddress()
{
    return socket_->PeerAddress();
}

QHostAddress TelnetViewer::ClientAddress() const
{
    // Unknown when the system cannot tell, which no control mode takes for local.
    try {
        return QHostAddress(socket_->PeerAddress());
    } catch (const Exception&) {
        return QHostAddress();
    }
}

void TelnetViewer::TurnAway(const QString& reason)
{
    socket_->SendBytes(reason.toUtf8() + "\r\n");
    socket_->Hangup();
}

void TelnetViewer::Close()
{
    socket_->Hangup();
}
