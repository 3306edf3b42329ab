#include "playback/GrowingSource.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>

#include "playback/AsciicastParser.h"
#include "playback/AsciicastSource.h"
#include "playback/ByteInput.h"
#include "playback/CompressedInput.h"
#include "playback/FrameReader.h"
#include "playback/RawTtyrecSource.h"

namespace growing {

namespace {

// A ttyrec file being written: frames are read whole or not at all. The file's size is
// looked up only when the frames known to be there have been read, so a frame costs no
// system call of its own while the file runs ahead of the reader.
class GrowingTtyrecSource final : public FrameSource
{
public:
    explicit GrowingTtyrecSource(UniqueFd fd) : fd_(std::move(fd)), input_(fd_.Get()) {}

    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override
    {
        io::FrameReadStatus status = io::ReadWholeFrame(input_, knownSize_, header, body);
        if (status == io::FrameReadStatus::Waiting && LookAtSize()) {
            status = io::ReadWholeFrame(input_, knownSize_, header, body);
        }
        return status;
    }
    void ReleaseBuffers() override { input_.ReleaseBuffer(); }
    qsizetype HeldBytes() const override { return static_cast<qsizetype>(input_.BufferCapacity()); }
    std::unique_ptr<FrameCursor> NewCatchUpCursor() override
    {
        return NewRawTtyrecCursor(fd_.Get());
    }

private:
    // True when the file has more bytes than were known.
    bool LookAtSize()
    {
        struct stat info
        {
        };
        if (::fstat(fd_.Get(), &info) != 0 || info.st_size == knownSize_) {
            return false;
        }
        knownSize_ = info.st_size;
        return true;
    }

    UniqueFd fd_;  // declared first: the input reads it
    io::PositionedInput input_;
    int64_t knownSize_ = 0;
};

// A first line that is no v2 or v3 header: an asciicast v1 object (on one line, or
// spread over several so that its first line alone does not parse), or something else.
Format FormatOfOtherFirstLine(QByteArrayView line)
{
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray());
    if (document.isNull()) {
        return Format::Version1;
    }
    if (document.isObject() && document.object().value(QLatin1String("version")).toInt(0) == 1) {
        return Format::Version1;
    }
    return Format::Invalid;
}

}  // namespace

Format FormatOfHead(QByteArrayView head)
{
    if (head.size() < kDecidingBytes) {
        return Format::NotYet;
    }
    if (io::LooksCompressed(head)) {
        return Format::Compressed;
    }
    if (!asciicast::LooksLikeAsciicast(head)) {
        return Format::Ttyrec;
    }
    const qsizetype newline = head.indexOf('\n');
    if (newline < 0) {
        return head.size() >= kMaxHeaderLine ? Format::Invalid : Format::NotYet;
    }
    const QByteArrayView line = head.first(newline);
    if (asciicast::ParseHeaderLine(line)) {
        return Format::Asciicast;
    }
    return FormatOfOtherFirstLine(line);
}

Format FormatOf(int fd)
{
    QByteArray head(kMaxHeaderLine, Qt::Uninitialized);
    ssize_t got;
    do {
        got = ::pread(fd, head.data(), static_cast<size_t>(head.size()), 0);
    } while (got < 0 && errno == EINTR);
    return FormatOfHead(QByteArrayView(head.constData(), got > 0 ? got : 0));
}

std::unique_ptr<FrameSource> OpenGrowingSource(UniqueFd fd, Format format)
{
    switch (format) {
        case Format::Ttyrec:
            return std::make_unique<GrowingTtyrecSource>(std::move(fd));
        case Format::Asciicast:
            return io::OpenGrowingAsciicastSource(std::move(fd));
        default:
            return nullptr;
    }
}

}  // namespace growing
