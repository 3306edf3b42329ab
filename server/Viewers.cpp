// The form's side of the viewer server: counting viewers, greeting and catching up a
// newcomer, following departures and errors, and the connection panel.
#include "server/Viewers.h"

#include <fcntl.h>

#include <limits>

#include "app/Texts.h"
#include "app/UnitOmbrix.h"
#include "playback/CatchUpReader.h"

namespace {
// Catch-up frames are gathered into sends of about this size: one send per small frame
// would cost a system call each on a long recording.
constexpr qsizetype kCatchUpChunk = 256 * 1024;
// Room for one more frame's worth past the size above, so a block rarely grows.
constexpr qsizetype kCatchUpBlockCapacity = kCatchUpChunk + kCatchUpChunk / 4;

// The connection panel's text: the waiting port while no viewer is counted, else the
// oldest listed viewer's address and the count.
QString ConnectionStatusText(int port, int viewerCount, const QString& firstPeerAddress)
{
    if (viewerCount <= 0) {
        return QString::number(port) + Texts::WaitingSuffix;
    }
    return firstPeerAddress + QLatin1Char(',') + QString::number(viewerCount);
}
}  // namespace

// A newcomer being sent what it missed, a block at a time: the next block goes when the
// connection has taken the last, so a long recording neither piles up in memory nor
// holds up the loop. It reads a descriptor of its own for the recording, which stays
// readable after the player reaches the end and closes its stream.
struct ViewerCatchUp
{
    ViewerCatchUp(int fd, int64_t pendingEnd) : recording(fd), reader(fd, pendingEnd)
    {
        block.reserve(kCatchUpBlockCapacity);
    }
    UniqueFd recording;
    CatchUpReader reader;
    QByteArray block;
};

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
    catchUps_.erase(Socket);
    ++ViewerCount;
    ShowConnectionStatus();
    Socket->SendBytes(TelnetGreeting);
    if (pendingEnd > 0) {
        const int fd = ::fcntl(fileno(RecordingFile.get()), F_DUPFD_CLOEXEC, 0);
        if (fd >= 0) {
            catchUps_[Socket] = std::make_shared<ViewerCatchUp>(fd, pendingEnd);
            ContinueCatchUp(Socket);
        }
    }

    if (dueAt && savedInterval != 0) {
        Timer.SetIntervalDueAt(savedInterval, *dueAt);
    } else {
        Timer.SetInterval(savedInterval);
    }
}

void TFormOmbrix::ContinueCatchUp(TCustomWinSocket* socket)
{
    const auto found = catchUps_.find(socket);
    if (found == catchUps_.end()) {
        return;
    }
    // Held here: a failed send hangs the viewer up and drops its entry.
    const std::shared_ptr<ViewerCatchUp> catchUp = found->second;
    // Frames played since the last block are part of what the newcomer missed; once the
    // player has reached the end, everything in the file is.
    catchUp->reader.SetPendingEnd(RecordingFile ? std::ftell(RecordingFile.get())
                                                : std::numeric_limits<int64_t>::max());
    for (;;) {
        bool more = true;
        while (catchUp->block.size() < kCatchUpChunk &&
               (more = catchUp->reader.AppendNextFrame(catchUp->block))) {
        }
        if (!more) {
            catchUps_.erase(socket);  // caught up: the next tick reaches it with everyone
        }
        socket->SendBytes(catchUp->block);
        // A block the connection keeps a share of must not be written again.
        catchUp->block.truncate(0);
        catchUp->block.reserve(kCatchUpBlockCapacity);
        if (!more || !socket->IsConnected() || socket->PendingBytes() > 0) {
            return;  // done, gone, or the rest goes when this block has
        }
    }
}

void TFormOmbrix::ServerSocketClientWrite(QObject*, TCustomWinSocket* Socket)
{
    ContinueCatchUp(Socket);
}

void TFormOmbrix::ServerSocketClientDisconnect(QObject*, TCustomWinSocket* Socket)
{
    keyDecoders_.erase(Socket);
    catchUps_.erase(Socket);
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
