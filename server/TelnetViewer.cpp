#include "server/TelnetViewer.h"

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

void TelnetViewer::Close()
{
    socket_->Hangup();
}
