// The form's side of the viewer server: counting viewers, greeting and catching up a
// newcomer, following departures and errors, and the connection panel.
#include "server/Viewers.h"

#include "app/Texts.h"
#include "app/UnitOmbrix.h"
#include "playback/CatchUpReader.h"

namespace {
// Catch-up frames are gathered into sends of about this size: one send per small frame
// would cost a system call each on a long recording.
constexpr qsizetype kCatchUpChunk = 256 * 1024;

// Sends a newcomer every frame before the pending one, at once. They are read again
// from the file with a cursor of the catch-up's own, so the player's position, current
// frame, clock and panels are left as they are; the pending frame reaches the newcomer
// once, with everyone else, at the next tick.
void SendPastFrames(int recordingFd, long pendingEnd, TCustomWinSocket* socket)
{
    CatchUpReader reader(recordingFd, pendingEnd);
    // One block, reused while the connection takes each send whole: a fresh block of
    // this size each time comes as new pages from the system.
    QByteArray chunk;
    chunk.reserve(kCatchUpChunk + kCatchUpChunk / 4);
    while (reader.AppendNextFrame(chunk)) {
        if (chunk.size() >= kCatchUpChunk) {
            socket->SendBytes(chunk);
            if (!socket->IsConnected()) {
                return;  // hung up by a failed send: the rest would go nowhere
            }
            // Still shared when the connection queued it: then this detaches.
            chunk.truncate(0);
            chunk.reserve(kCatchUpChunk + kCatchUpChunk / 4);
        }
    }
    socket->SendBytes(chunk);
}
}  // namespace

QString ConnectionStatusText(int port, int viewerCount, const QString& firstPeerAddress)
{
    if (viewerCount <= 0) {
        return QString::number(port) + Texts::WaitingSuffix;
    }
    return firstPeerAddress + QLatin1Char(',') + QString::number(viewerCount);
}

void TFormOmbrix::ServerSocketListen(QObject*, TCustomWinSocket*)
{
    ShowConnectionStatus();
}

void TFormOmbrix::ServerSocketClientConnect(QObject*, TCustomWinSocket* Socket)
{
    // A countdown already running keeps its deadline: a viewer joining, or one that
    // keeps reconnecting, must not hold up the frame everyone else is waiting for.
    const uint32_t savedInterval = Timer.Interval();
    const std::optional<TTimer::Clock::time_point> dueAt = Timer.Deadline();
    Timer.SetInterval(0);

    // Where the player stands: right after the pending frame.
    const long pendingEnd = RecordingFile ? std::ftell(RecordingFile.get()) : -1;
    keyDecoders_.erase(Socket);
    ++ViewerCount;
    ShowConnectionStatus();
    Socket->SendBytes(TelnetGreeting);
    if (pendingEnd > 0) {
        SendPastFrames(fileno(RecordingFile.get()), pendingEnd, Socket);
    }

    if (dueAt && savedInterval != 0) {
        Timer.SetIntervalDueAt(savedInterval, *dueAt);
    } else {
        Timer.SetInterval(savedInterval);
    }
}

void TFormOmbrix::ServerSocketClientDisconnect(QObject*, TCustomWinSocket* Socket)
{
    keyDecoders_.erase(Socket);
    --ViewerCount;
    ShowConnectionStatus();
}

void TFormOmbrix::ServerSocketClientError(QObject*, TCustomWinSocket* Socket, TErrorEvent,
                                          int& ErrorCode)
{
    Socket->Hangup();
    ErrorCode = 0;
}

void TFormOmbrix::ShowConnectionStatus()
{
    UpdateTimerEnabled();
    QString firstPeerAddress;
    if (ViewerCount > 0) {
        // A failed address query leaves the address out; the count and the playback
        // state must not suffer for it.
        try {
            firstPeerAddress = ServerSocket.ListeningSocket()->ConnectionAt(0)->PeerAddress();
        } catch (const Exception&) {
            firstPeerAddress.clear();
        }
    }
    const int port = ServerSocket.Port() != 0 ? ServerSocket.Port() : ServerSocket.LocalPort();
    SetStatusConnection(ConnectionStatusText(port, ViewerCount, firstPeerAddress));
}
