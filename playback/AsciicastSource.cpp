#include "playback/AsciicastSource.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>

#include "common/Texts.h"
#include "playback/AsciicastParser.h"
#include "playback/LineReader.h"

namespace io {

namespace {

// A line as long as the longest frame the ttyrec reader takes; past it, the file is
// taken for a broken or hostile one.
constexpr qsizetype kMaxLineLength = kMaxFrameLength;
// A v1 recording is one JSON object, parsed whole: it is held in memory, so it is
// bounded. Real ones are small (the format was replaced by the line-per-event v2).
constexpr qsizetype kMaxVersion1Size = 64 * 1024 * 1024;

// What every reader of one recording shares: the file, and what its start said.
struct Recording
{
    UniqueFd fd;
    // Set when the file is no asciicast this program reads: every reader then ends at once.
    bool invalid = false;
    asciicast::Header header;
    std::optional<asciicast::Version1> version1;  // a v1 file's parsed object
};

// Reads the frames of a recording from its start. The player and every catch-up have one
// each, so they see the same frames.
class AsciicastCursor final : public FrameCursor
{
public:
    // A growing cursor reads a file still being written: a line without its line break
    // yet is Waiting, and read whole once it has one.
    explicit AsciicastCursor(std::shared_ptr<const Recording> recording,
                             LineReader::Input kind = LineReader::Input::Whole)
        : recording_(std::move(recording)),
          input_(recording_->fd.Get()),
          lines_(input_, kMaxLineLength, kind),
          clock_(recording_->header.version)
    {
    }

    FrameReadStatus Next(FrameHeader& header, QByteArray& body) override
    {
        const FrameReadStatus status = ended_ ? *ended_ : ReadFrame(header, body);
        if (status == FrameReadStatus::Waiting) {
            header = FrameHeader{};
            body = QByteArray();
        } else if (status != FrameReadStatus::Frame) {
            ended_ = status;
            header = FrameHeader{};
            body = QByteArray();
        }
        return status;
    }
    void ReleaseBuffers() override { input_.ReleaseBuffer(); }
    // The line reader keeps its block, which may hold the start of the next line.
    qsizetype HeldBytes() const override
    {
        return static_cast<qsizetype>(input_.BufferCapacity() + lines_.BufferCapacity());
    }

private:
    // The next output event as a frame, or the status that ends the recording.
    FrameReadStatus ReadFrame(FrameHeader& header, QByteArray& body)
    {
        if (recording_->invalid) {
            return FrameReadStatus::FormatError;
        }
        for (;;) {
            QByteArray bytes;
            asciicast::EventResult result = asciicast::EventResult::NoFrame;
            if (recording_->version1) {
                const QJsonArray& entries = recording_->version1->stdoutEntries;
                if (entry_ >= entries.size()) {
                    return FrameReadStatus::EndOfFile;
                }
                result = clock_.ParseVersion1Entry(entries[entry_++], header.time, bytes);
            } else {
                const std::optional<FrameReadStatus> ended = NextLine(header.time, bytes, result);
                if (ended) {
                    return *ended;
                }
            }
            if (result == asciicast::EventResult::Invalid) {
                return FrameReadStatus::FormatError;
            }
            if (result == asciicast::EventResult::Frame) {
                return TakeBytes(std::move(bytes), header, body);
            }
        }
    }

    // Reads and parses the next event line; a status when the lines ran out.
    std::optional<FrameReadStatus> NextLine(FrameTime& time, QByteArray& bytes,
                                            asciicast::EventResult& result)
    {
        QByteArray line;
        switch (lines_.Next(line)) {
            case LineReader::Status::Line:
                break;
            case LineReader::Status::End:
                return FrameReadStatus::EndOfFile;
            case LineReader::Status::TooLong:
                return FrameReadStatus::FormatError;
            case LineReader::Status::Failed:
                return FrameReadStatus::ReadFailed;
            case LineReader::Status::Partial:
                return FrameReadStatus::Waiting;
        }
        if (!headerSkipped_) {
            headerSkipped_ = true;
            result = asciicast::EventResult::NoFrame;
            return std::nullopt;
        }
        result = clock_.ParseLine(line, time, bytes);
        return std::nullopt;
    }

    // The event's text, as the UTF-8 bytes it was recorded as, is the frame.
    static FrameReadStatus TakeBytes(QByteArray bytes, FrameHeader& header, QByteArray& body)
    {
        header.length = static_cast<int32_t>(bytes.size());
        body = std::move(bytes);
        return FrameReadStatus::Frame;
    }

    std::shared_ptr<const Recording> recording_;
    PositionedInput input_;
    LineReader lines_;
    asciicast::EventClock clock_;
    qsizetype entry_ = 0;
    bool headerSkipped_ = false;
    std::optional<FrameReadStatus> ended_;
};

class AsciicastSource final : public FrameSource
{
public:
    AsciicastSource(std::shared_ptr<const Recording> recording, LineReader::Input kind)
        : recording_(recording), player_(std::move(recording), kind)
    {
    }
    FrameReadStatus Next(FrameHeader& header, QByteArray& body) override
    {
        return player_.Next(header, body);
    }
    void ReleaseBuffers() override { player_.ReleaseBuffers(); }
    std::unique_ptr<FrameCursor> NewCatchUpCursor() override
    {
        return std::make_unique<AsciicastCursor>(recording_);
    }
    std::optional<QSize> TerminalSize() const override { return recording_->header.terminalSize; }
    std::optional<double> IdleTimeLimit() const override
    {
        return recording_->header.idleTimeLimit;
    }

private:
    std::shared_ptr<const Recording> recording_;
    AsciicastCursor player_;
};

// Reads what the start of the file says: a v2/v3 header line, else a whole v1 object,
// which a file still being written cannot be read as.
void ReadStart(Recording& recording, LineReader::Input kind)
{
    PositionedInput input(recording.fd.Get());
    LineReader lines(input, kMaxLineLength);
    QByteArray first;
    if (lines.Next(first) == LineReader::Status::Line) {
        if (std::optional<asciicast::Header> header = asciicast::ParseHeaderLine(first)) {
            recording.header = *header;
            return;
        }
    }
    if (kind == LineReader::Input::Growing) {
        recording.invalid = true;
        return;
    }
    struct stat info
    {
    };
    std::optional<asciicast::Version1> version1;
    if (::fstat(recording.fd.Get(), &info) == 0 && info.st_size <= kMaxVersion1Size) {
        QByteArray document(static_cast<qsizetype>(info.st_size), Qt::Uninitialized);
        PositionedInput whole(recording.fd.Get());
        document.resize(static_cast<qsizetype>(whole.Read(document.data(), document.size())));
        if (!whole.Failed()) {
            version1 = asciicast::ParseVersion1(document);
        }
    }
    if (!version1) {
        recording.invalid = true;
        return;
    }
    recording.header = version1->header;
    recording.version1 = std::move(version1);
}

// Opens the recording on fd as a whole file or as one still being written; a terminal
// size cut to what a terminal can show is said on standard error.
std::unique_ptr<FrameSource> OpenRecording(UniqueFd fd, LineReader::Input kind)
{
    auto recording = std::make_shared<Recording>();
    recording->fd = std::move(fd);
    ReadStart(*recording, kind);
    const asciicast::Header& header = recording->header;
    if (!header.clampedFrom.isEmpty() && header.terminalSize) {
        const QString played = QStringLiteral("%1x%2")
                                   .arg(header.terminalSize->width())
                                   .arg(header.terminalSize->height());
        std::fprintf(stderr, "%s\n",
                     Texts::TerminalSizeClamped.arg(QString::fromLatin1(header.clampedFrom), played)
                         .toLocal8Bit()
                         .constData());
        std::fflush(stderr);
    }
    return std::make_unique<AsciicastSource>(std::move(recording), kind);
}

}  // namespace

std::unique_ptr<FrameSource> OpenAsciicastSource(UniqueFd fd)
{
    return OpenRecording(std::move(fd), LineReader::Input::Whole);
}

std::unique_ptr<FrameSource> OpenGrowingAsciicastSource(UniqueFd fd)
{
    return OpenRecording(std::move(fd), LineReader::Input::Growing);
}

}  // namespace io
