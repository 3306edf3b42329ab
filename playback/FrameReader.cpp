#include "playback/FrameReader.h"

#include <new>

namespace io {

namespace {
// A block kept from the last frame is reused unless it is far larger than this one
// needs: one huge frame must not pin its memory for the rest of the recording.
constexpr qsizetype kMaxSpareCapacity = 1024 * 1024;

// Prepares the block for this frame: the previous frame's block when nobody else shares
// it (a connection still sending it keeps its own reference), else a new one.
void PrepareBlock(QByteArray& block, qsizetype size)
{
    if (!block.isDetached() ||
        (block.capacity() > 4 * size && block.capacity() > kMaxSpareCapacity)) {
        block = QByteArray();
    }
    block.resize(size);
}

// Reads the header and decodes it; returns how many of its fields were read whole.
int ReadHeaderFields(ByteInput& input, FrameHeader& header)
{
    char bytes[kFrameHeaderSize];
    return DecodeFrameHeader(bytes, input.Read(bytes, sizeof bytes), header);
}
}  // namespace

FrameReadStatus ReadFrame(std::FILE* stream, FrameHeader& header, QByteArray& body)
{
    StreamInput input(stream);
    return ReadFrame(input, header, body);
}

FrameReadStatus ReadFrame(ByteInput& input, FrameHeader& header, QByteArray& body)
{
    QByteArray block = std::move(body);
    body = QByteArray();
    const int fields = ReadHeaderFields(input, header);
    if (fields == 0) {
        return FrameReadStatus::EndOfFile;
    }
    // A header cut short by the end of the file is no frame, even when its missing
    // length reads as 0.
    if (fields < 3) {
        return FrameReadStatus::ReadFailed;
    }
    const int32_t length = header.length;
    if (length < 0 || length > kMaxFrameLength) {
        return FrameReadStatus::AllocationFailed;
    }
    try {
        PrepareBlock(block, length);
    } catch (const std::bad_alloc&) {
        return FrameReadStatus::AllocationFailed;
    }
    const size_t got = input.Read(block.data(), static_cast<size_t>(length));
    if (got == 0 && length > 0) {
        return FrameReadStatus::ReadFailed;
    }
    block.resize(static_cast<qsizetype>(got));
    header.length = static_cast<int32_t>(got);
    body = std::move(block);
    return FrameReadStatus::Frame;
}

FrameReadStatus ReadWholeFrame(PositionedInput& input, int64_t fileSize, FrameHeader& header,
                               QByteArray& body)
{
    QByteArray block = std::move(body);
    body = QByteArray();
    const int64_t start = input.Offset();
    const auto waitFor = [&] {
        input.Seek(start);
        return input.Failed() ? FrameReadStatus::ReadFailed : FrameReadStatus::Waiting;
    };
    if (fileSize - start < static_cast<int64_t>(kFrameHeaderSize)) {
        return FrameReadStatus::Waiting;
    }
    // The file may have shrunk since its size was taken: fewer bytes are waited for too.
    if (ReadHeaderFields(input, header) < 3) {
        return waitFor();
    }
    const int32_t length = header.length;
    if (length < 0 || length > kMaxFrameLength) {
        return FrameReadStatus::AllocationFailed;
    }
    if (fileSize - input.Offset() < length) {
        // The body is not all there: nothing is allocated for it yet.
        return waitFor();
    }
    try {
        PrepareBlock(block, length);
    } catch (const std::bad_alloc&) {
        return FrameReadStatus::AllocationFailed;
    }
    if (input.Read(block.data(), static_cast<size_t>(length)) < static_cast<size_t>(length)) {
        return waitFor();
    }
    body = std::move(block);
    return FrameReadStatus::Frame;
}

}  // namespace io
