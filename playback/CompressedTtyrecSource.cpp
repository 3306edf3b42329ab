#include "playback/CompressedTtyrecSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "playback/CompressedInput.h"
#include "playback/SpoolFile.h"

namespace io {

namespace {

// How far past a broken frame the decompressor is read to find damage: more than one
// bzip2 block, the largest unit a common compressor checks as a whole.
constexpr size_t kDamageProbeLength = 1024 * 1024;
constexpr size_t kDamageProbeBlock = 64 * 1024;

// The decoded frames the player has read, shared by the source and its catch-up cursors,
// which outlive it. Only whole frames are ever appended.
struct Spool
{
    UniqueFd fd;  // invalid when no spool could be made, or once it is given up
    int64_t length = 0;
    // Given up: its limit was reached or a write failed. It was emptied and closed at once,
    // and every cursor decompresses the file instead.
    bool abandoned = false;
    // How the player's reading ended, once it has: what a cursor reports past the last
    // frame, so it ends exactly as the player did.
    std::optional<FrameReadStatus> endStatus;
    FrameHeader endHeader;
};

// Passes a decompressor's bytes through and keeps a copy of what the current frame took.
class TeeInput final : public ByteInput
{
public:
    explicit TeeInput(ByteInput& inner) : inner_(inner) {}
    size_t Read(void* into, size_t count) override
    {
        const size_t got = inner_.Read(into, count);
        copy_.append(static_cast<const char*>(into), static_cast<qsizetype>(got));
        return got;
    }
    bool Failed() const override { return inner_.Failed(); }
    QByteArray& Copy() { return copy_; }

private:
    ByteInput& inner_;
    QByteArray copy_;
};

bool WriteAll(int fd, const QByteArray& bytes, int64_t offset)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::pwrite(fd, bytes.constData() + done,
                                       static_cast<size_t>(bytes.size() - done), offset + done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += wrote;
    }
    return true;
}

// Decompresses the file again from its start: the catch-up of last resort, when the
// platform gave no spool or the spool could not be written.
class DecompressingCursor final : public FrameCursor
{
public:
    explicit DecompressingCursor(std::unique_ptr<CompressedInput> input) : input_(std::move(input))
    {
    }
    FrameReadStatus Next(FrameHeader& header, QByteArray& body) override
    {
        const FrameReadStatus status = ReadFrame(*input_, header, body);
        if (input_->Failed()) {
            body = QByteArray();
            return FrameReadStatus::DecompressFailed;
        }
        return status;
    }
    qsizetype HeldBytes() const override
    {
        return static_cast<qsizetype>(input_->BufferCapacity());
    }

private:
    std::unique_ptr<CompressedInput> input_;
};

std::unique_ptr<FrameCursor> NewDecompressingCursor(int file)
{
    UniqueFd copy(::fcntl(file, F_DUPFD_CLOEXEC, 0));
    if (!copy.Valid()) {
        return nullptr;
    }
    std::unique_ptr<CompressedInput> input = CompressedInput::Open(std::move(copy));
    if (!input) {
        return nullptr;
    }
    return std::make_unique<DecompressingCursor>(std::move(input));
}

// Reads the spool; decompresses the file instead once the spool is given up.
class SpoolCursor final : public FrameCursor
{
public:
    SpoolCursor(std::shared_ptr<const Spool> spool, UniqueFd file)
        : spool_(std::move(spool)), file_(std::move(file)), input_(spool_->fd.Get())
    {
    }
    FrameReadStatus Next(FrameHeader& header, QByteArray& body) override
    {
        if (fallback_) {
            return fallback_->Next(header, body);
        }
        // Checked before every read: a given-up spool's descriptor is closed.
        if (spool_->abandoned) {
            return Resume(header, body);
        }
        const FrameReadStatus status = ReadFrame(input_, header, body);
        if (status == FrameReadStatus::Frame) {
            ++framesRead_;
            return status;
        }
        if (status == FrameReadStatus::EndOfFile && spool_->endStatus) {
            header = spool_->endHeader;
            return *spool_->endStatus;
        }
        return status;
    }
    void ReleaseBuffers() override
    {
        input_.ReleaseBuffer();
        if (fallback_) {
            fallback_->ReleaseBuffers();
        }
    }
    qsizetype HeldBytes() const override
    {
        return static_cast<qsizetype>(input_.BufferCapacity()) +
               (fallback_ ? fallback_->HeldBytes() : 0);
    }

private:
    // Decompresses from the start, skipping the frames the spool already gave.
    FrameReadStatus Resume(FrameHeader& header, QByteArray& body)
    {
        input_.ReleaseBuffer();
        fallback_ = file_.Valid() ? NewDecompressingCursor(file_.Get()) : nullptr;
        if (!fallback_) {
            return FrameReadStatus::DecompressFailed;
        }
        for (int64_t skipped = 0; skipped < framesRead_; ++skipped) {
            const FrameReadStatus status = fallback_->Next(header, body);
            if (status != FrameReadStatus::Frame) {
                return status;
            }
        }
        return fallback_->Next(header, body);
    }

    std::shared_ptr<const Spool> spool_;
    UniqueFd file_;  // the compressed file, for the fallback
    PositionedInput input_;
    std::unique_ptr<FrameCursor> fallback_;
    int64_t framesRead_ = 0;
};

class CompressedTtyrecSource final : public FrameSource
{
public:
    CompressedTtyrecSource(UniqueFd file, std::unique_ptr<CompressedInput> input,
                           int64_t spoolLimit)
        : file_(std::move(file)),
          input_(std::move(input)),
          tee_(*input_),
          spool_(std::make_shared<Spool>()),
          spoolLimit_(spoolLimit)
    {
        if (spoolLimit_ > 0) {
            spool_->fd = CreateSpoolFile();
        }
    }

    FrameReadStatus Next(FrameHeader& header, QByteArray& body) override
    {
        if (spool_->endStatus) {
            header = spool_->endHeader;
            body = QByteArray();
            return *spool_->endStatus;
        }
        tee_.Copy().truncate(0);
        FrameReadStatus status = ReadFrame(tee_, header, body);
        if (status != FrameReadStatus::Frame && !input_->Failed()) {
            ProbeForDamage();
        }
        if (input_->Failed()) {
            // The frame the damage cut short is not played.
            body = QByteArray();
            status = FrameReadStatus::DecompressFailed;
        } else {
            Append(tee_.Copy());
        }
        if (status != FrameReadStatus::Frame) {
            spool_->endStatus = status;
            spool_->endHeader = header;
            input_.reset();  // the decompressor's memory goes with the recording's end
        }
        return status;
    }

    std::unique_ptr<FrameCursor> NewCatchUpCursor() override
    {
        UniqueFd file(::fcntl(file_.Get(), F_DUPFD_CLOEXEC, 0));
        if (!spool_->fd.Valid()) {
            return file.Valid() ? NewDecompressingCursor(file.Get()) : nullptr;
        }
        return std::make_unique<SpoolCursor>(spool_, std::move(file));
    }

private:
    // A corrupted block decodes to garbage until the decompressor reaches the block's
    // check; garbage usually reads as an impossible frame first. Reading on a little tells
    // a damaged file from a recording that is itself broken, so the text says which.
    void ProbeForDamage()
    {
        std::vector<char> scratch(kDamageProbeBlock);
        for (size_t probed = 0; probed < kDamageProbeLength; probed += scratch.size()) {
            if (input_->Read(scratch.data(), scratch.size()) < scratch.size()) {
                return;
            }
        }
    }

    void Append(const QByteArray& bytes)
    {
        if (!spool_->fd.Valid() || bytes.isEmpty()) {
            return;
        }
        if (spool_->length + bytes.size() <= spoolLimit_ &&
            WriteAll(spool_->fd.Get(), bytes, spool_->length)) {
            spool_->length += bytes.size();
            return;
        }
        Abandon();
    }

    // Past the limit or on a failed write (a full disk): the disk space goes back at once,
    // not when the recording closes, and catch-ups decompress the file from then on.
    void Abandon()
    {
        spool_->abandoned = true;
        (void)::ftruncate(spool_->fd.Get(), 0);
        spool_->fd.Reset();
        spool_->length = 0;
    }

    UniqueFd file_;
    std::unique_ptr<CompressedInput> input_;
    TeeInput tee_;
    std::shared_ptr<Spool> spool_;
    int64_t spoolLimit_;
};

}  // namespace

std::unique_ptr<FrameSource> OpenCompressedTtyrecSource(UniqueFd fd, int64_t spoolLimit)
{
    UniqueFd decoderFd(::fcntl(fd.Get(), F_DUPFD_CLOEXEC, 0));
    if (!decoderFd.Valid()) {
        return nullptr;
    }
    std::unique_ptr<CompressedInput> input = CompressedInput::Open(std::move(decoderFd));
    if (!input) {
        return nullptr;
    }
    return std::make_unique<CompressedTtyrecSource>(std::move(fd), std::move(input), spoolLimit);
}

}  // namespace io
