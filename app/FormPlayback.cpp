// The form's playback and viewer handlers, forwarded to the player and the viewer hub.
#include "app/UnitOmbrix.h"
#include "playback/Player.h"
#include "relay/ChannelLeader.h"
#include "relay/ChannelRelay.h"
#include "server/TelnetOutput.h"
#include "server/TelnetViewer.h"
#include "server/WebServer.h"

FrameSource* TFormOmbrix::RecordingFile() const
{
    return player_.Source();
}

io::FrameHeader TFormOmbrix::FrameHeader() const
{
    io::FrameHeader header = player_.FrameHeader();
    if (const std::optional<QByteArray> buffer = FrameBuffer()) {
        header.length = static_cast<int32_t>(buffer->size());
    }
    return header;
}

std::optional<QByteArray> TFormOmbrix::FrameBuffer() const
{
    // The player holds the frame as recorded; this view shows it as telnet viewers get it.
    // Nothing is copied for a frame without 0xFF.
    const std::optional<QByteArray>& recorded = player_.FrameBuffer();
    return recorded ? std::optional<QByteArray>(TelnetEscaped(*recorded)) : std::nullopt;
}

bool TFormOmbrix::OpenRecording()
{
    // A relay plays what the leader plays; a file dropped on it opens nothing.
    if (relay_) {
        return false;
    }
    return player_.Open(RecordingPath);
}

void TFormOmbrix::CloseRecording()
{
    player_.Close();
}

void TFormOmbrix::ReadNextFrame(bool first)
{
    player_.ReadNextFrame(first);
}

bool TFormOmbrix::UpdateTimerEnabled()
{
    return player_.UpdateTimerEnabled();
}

void TFormOmbrix::TimerTimer()
{
    player_.TimerTimer();
}

void TFormOmbrix::ServerSocketListen(QObject*, TCustomWinSocket*)
{
    ShowConnectionStatus();
}

void TFormOmbrix::ServerSocketClientConnect(QObject*, TCustomWinSocket* Socket)
{
    hub_.Join(TelnetViewer::Of(Socket));
}

void TFormOmbrix::ServerSocketClientDisconnect(QObject*, TCustomWinSocket* Socket)
{
    hub_.Leave(TelnetViewer::Of(Socket));
}

void TFormOmbrix::ServerSocketClientError(QObject*, TCustomWinSocket* Socket, TErrorEvent,
                                          int& ErrorCode)
{
    Socket->Hangup();
    ErrorCode = 0;
}

void TFormOmbrix::ServerSocketClientWrite(QObject*, TCustomWinSocket* Socket)
{
    hub_.Writable(TelnetViewer::Of(Socket));
}

void TFormOmbrix::ServerSocketClientRead(QObject*, TCustomWinSocket* Socket)
{
    const QByteArray text = Socket->ReceiveAvailableText(kKeyBytesPerRead);
    if (!text.isEmpty()) {
        hub_.Received(TelnetViewer::Of(Socket), text);
    }
}

void TFormOmbrix::ShowConnectionStatus()
{
    UpdateTimerEnabled();
    const int port = ServerSocket.Port() != 0 ? ServerSocket.Port() : ServerSocket.LocalPort();
    const int count = hub_.ViewerCount();
    SetStatusConnection(
        ConnectionStatusText(port, count, count > 0 ? hub_.FirstViewerAddress() : QString()));
    ShowViewerTotal();
}

void TFormOmbrix::ViewersChanged()
{
    ShowConnectionStatus();
    // On a channel the pages show every viewer of it, which ShowViewerTotal tells them.
    if (webServer_ && !leader_ && !relay_) {
        webServer_->SetViewerCount(hub_.ViewerCount());
    }
}
