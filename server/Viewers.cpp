// The form's side of the viewer server: counting viewers, greeting and catching up a
// newcomer, following departures and errors, and the connection panel.
#include "server/Viewers.h"

#include "app/Texts.h"
#include "app/UnitOmbrix.h"

namespace {
// Catch-up frames are gathered into sends of about this size: one send per small frame
// would cost a system call each on a long recording.
constexpr qsizetype kCatchUpChunk = 256 * 1024;
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

    long rememberedPosition = -1;
    bool catchUp = false;
    if (RecordingFile) {
        rememberedPosition = std::ftell(RecordingFile.get());
        if (rememberedPosition != -1) {
            catchUp = std::fseek(RecordingFile.get(), 0, SEEK_SET) == 0;
        }
    }
    keyDecoders_.erase(Socket);
    ++ViewerCount;
    ShowConnectionStatus();
    Socket->SendBytes(TelnetGreeting);

    if (catchUp) {
        // Re-read every frame up to and including the pending one, so the reader ends
        // where it was; the newcomer is sent the frames before the pending one, which
        // reaches it with everyone else at the next tick.
        // One block, reused while the connection takes each send whole: a fresh block of
        // this size each time comes as new pages from the system, and costs more than
        // reading the frames.
        QByteArray chunk;
        chunk.reserve(kCatchUpChunk + kCatchUpChunk / 4);
        long position = std::ftell(RecordingFile.get());
        while (position != -1 && position < rememberedPosition) {
            ReadNextFrame(position == 0, true);
            if (!RecordingFile) {
                break;
            }
            position = std::ftell(RecordingFile.get());
            if (position < rememberedPosition && FrameBuffer) {
                chunk += *FrameBuffer;
                if (chunk.size() >= kCatchUpChunk) {
                    Socket->SendBytes(chunk);
                    // Still shared when the connection queued it: then this detaches.
                    chunk.truncate(0);
                    chunk.reserve(kCatchUpChunk + kCatchUpChunk / 4);
                }
            }
        }
        if (!chunk.isEmpty()) {
            Socket->SendBytes(chunk);
        }
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
