// The reading half of the frame reader: one frame a call into FrameHeader and
// FrameBuffer, every failure a text in the file panel and the recording closed.
#include "app/Texts.h"
#include "app/UnitOmbrix.h"
#include "playback/FrameReader.h"

void TFormOmbrix::CloseRecording()
{
    RecordingFile.reset();
    FrameBuffer.reset();
}

void TFormOmbrix::ReadNextFrame(bool first, bool catchUp)
{
    if (!RecordingFile) {
        return;
    }
    // The last frame's block is handed back for reuse.
    QByteArray body = FrameBuffer ? std::move(*FrameBuffer) : QByteArray();
    FrameBuffer.reset();
    switch (io::ReadFrame(RecordingFile.get(), FrameHeader, body)) {
        case io::FrameReadStatus::Frame:
            FrameBuffer = std::move(body);
            ApplyFrameTiming(first, catchUp);
            return;
        case io::FrameReadStatus::EndOfFile:
            SetStatusFile(Texts::EndOfFile);
            break;
        case io::FrameReadStatus::AllocationFailed:
            SetStatusFile(QString::number(FrameHeader.length) + Texts::AllocationFailedSuffix);
            break;
        case io::FrameReadStatus::ReadFailed:
            SetStatusFile(QString::number(FrameHeader.length) + Texts::ReadFailedSuffix);
            break;
        case io::FrameReadStatus::DecompressFailed:
            SetStatusFile(Texts::DecompressFailed);
            break;
        case io::FrameReadStatus::FormatError:
            SetStatusFile(Texts::FormatError);
            break;
    }
    CloseRecording();
}
