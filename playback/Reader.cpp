// The reading half of the frame reader: one frame a call into FrameHeader and
// FrameBuffer, every failure a text in the file panel and the recording closed.
#include <new>

#include "app/Texts.h"
#include "app/UnitOmbrix.h"

namespace {
QString LengthText(int32_t length, const QString& suffix)
{
    return QString::number(length) + suffix;
}
}  // namespace

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
    const int fields = io::ReadFrameHeaderFields(RecordingFile.get(), FrameHeader);
    if (fields == 0) {
        SetStatusFile(Texts::EndOfFile);
        CloseRecording();
        return;
    }
    FrameBuffer.reset();
    const int32_t length = FrameHeader.length;
    // A header cut short by the end of the file is no frame, even when its missing
    // length reads as 0.
    if (fields < 3) {
        SetStatusFile(LengthText(length, Texts::ReadFailedSuffix));
        CloseRecording();
        return;
    }
    QByteArray block;
    try {
        if (length < 0 || length > io::kMaxFrameLength) {
            throw std::bad_alloc();
        }
        block.resize(qsizetype{2} * length);
    } catch (const std::bad_alloc&) {
        SetStatusFile(LengthText(length, Texts::AllocationFailedSuffix));
        CloseRecording();
        return;
    }
    const size_t got =
        std::fread(block.data(), 1, static_cast<size_t>(length), RecordingFile.get());
    if (got == 0 && length > 0) {
        SetStatusFile(LengthText(length, Texts::ReadFailedSuffix));
        CloseRecording();
        return;
    }
    // A body cut short keeps only the bytes that were read: nothing else of the block
    // may reach a viewer.
    const qsizetype escaped = io::EscapeTelnetIac(block.data(), static_cast<qsizetype>(got));
    block.resize(escaped);
    FrameHeader.length = static_cast<int32_t>(escaped);
    FrameBuffer = std::move(block);
    ApplyFrameTiming(first, catchUp);
}
