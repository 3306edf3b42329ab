// The form's playback and viewer handlers, forwarded to the player and the viewer hub.
#include "app/UnitOmbrix.h"
#include "playback/Player.h"
#include "server/TelnetViewer.h"
#include "server/WebServer.h"

FrameSource* TFormOmbrix::RecordingFile() const
{
    return player_.Source();
}

const io::FrameHeader& TFormOmbrix::FrameHeader() const
{
    return player_.FrameHeader();
}

const std::optional<QByteArray>& TFormOmbrix::FrameBuffer() const
{
    return player_.FrameBuffer();
}

bool TFormOmbrix::OpenRecording()
{
    const bool opened = player_.Open(RecordingPath);
    if (opened && webServer_) {
        // Pages size their terminal before the new recording's first frame.
        webServer_->SetTerminalSize(
            RecordingFile()->TerminalSize().value_or(QSize(kDefaultColumns, kDefaultRows)));
    }
    return opened;
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
    const QByteArray text = Socket->ReceiveAvailableText();
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
}
