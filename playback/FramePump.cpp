// The frame pump: opening a recording, pacing its frames on the timer, and sending each
// one to every viewer.
#include <QFileInfo>
#include <QSlider>

#include "app/Texts.h"
#include "app/UnitOmbrix.h"
#include "playback/PlaybackClock.h"

namespace PlaybackClock {
io::FrameTime StartTime;
io::FrameTime PrevFrameTime;
}  // namespace PlaybackClock

namespace {
// The interval the first frame of a newly opened recording waits.
constexpr uint32_t kFirstFrameInterval = 100;

// The part of a path after its last separator.
QString FileNamePart(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return QFile::decodeName(slash < 0 ? path : path.mid(slash + 1));
}
}  // namespace

bool TFormOmbrix::OpenRecording()
{
    // Viewers still catching up on the old recording follow the new one from its start.
    catchUps_.clear();
    CloseRecording();
    RecordingFile = io::OpenFileOrReport(RecordingPath, "rb");
    if (!RecordingFile) {
        SetStatusFile(Texts::OpenFailed);
        return false;
    }
    ReadNextFrame(true, false);
    if (!RecordingFile) {
        return false;
    }
    SetStatusFile(FileNamePart(RecordingPath));
    SetPlaySpeed(1);
    Timer.SetInterval(kFirstFrameInterval);
    UpdateTimerEnabled();
    return true;
}

void TFormOmbrix::ApplyFrameTiming(bool first, bool catchUp)
{
    using namespace PlaybackClock;
    const io::FrameTime current = FrameHeader.time;
    if (first) {
        StartTime = current;
    } else if (catchUp) {
        Timer.SetInterval(0);
    } else {
        const io::FrameTime gap = io::FrameTimeDiff(PrevFrameTime, current);
        Timer.SetInterval(io::FrameDelayMilliseconds(gap, PlaySpeed()));
    }
    PrevFrameTime = current;
    const io::FrameTime elapsed = io::FrameTimeDiff(StartTime, current);
    SetStatusTime(QString::number(elapsed.seconds) + Texts::SecondsSuffix);
}

bool TFormOmbrix::UpdateTimerEnabled()
{
    Timer.SetEnabled(ViewerCount > 0 && RecordingFile != nullptr);
    return Timer.Enabled();
}

void TFormOmbrix::TimerTimer()
{
    Timer.SetInterval(0);
    if (!UpdateTimerEnabled()) {
        return;
    }
    QByteArray due = FrameBuffer.value_or(QByteArray());
    ReadNextFrame(false, false);
    // A tick that runs late (many viewers, a long catch-up) takes the frames that fell
    // due meanwhile with it: one send per viewer instead of one per viewer and frame,
    // so a crowd does not fall further behind with every frame.
    while (FrameBuffer && Timer.IsOverdue()) {
        due += *FrameBuffer;
        Timer.TakeOverdueTick();
        ReadNextFrame(false, false);
    }
    Broadcast(due);
}

void TFormOmbrix::Broadcast(const QByteArray& bytes)
{
    if (bytes.isEmpty()) {
        return;
    }
    // One shared buffer for every viewer: a connection that cannot take it at once keeps
    // a reference, not a copy. The count is read again at every step: a failing send may
    // hang a viewer up.
    TServerWinSocket* server = ServerSocket.ListeningSocket();
    for (int i = 0; i < server->ConnectionCount(); ++i) {
        TServerClientWinSocket* connection = server->ConnectionAt(i);
        // A newcomer still catching up gets these frames from its own reading.
        if (server->IsConnected() && !catchUps_.contains(connection)) {
            connection->SendBytes(bytes);
        }
    }
}
