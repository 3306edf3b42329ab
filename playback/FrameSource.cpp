#include "playback/FrameSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <QByteArrayView>
#include <cerrno>

#include "common/Texts.h"
#include "playback/AsciicastParser.h"
#include "playback/AsciicastSource.h"
#include "playback/CompressedInput.h"
#include "playback/CompressedTtyrecSource.h"
#include "playback/RawTtyrecSource.h"

namespace {
// Enough of the start to see a compression's magic, or an asciicast's opening brace after
// a little white space.
constexpr size_t kHeadLength = 64;

// Picks the reader for an opened recording from its first bytes, never its name: a
// compressed stream, an asciicast (JSON) file, else plain ttyrec, which has no magic.
std::unique_ptr<FrameSource> SourceForFile(io::FilePtr file, const SourceOptions& options)
{
    char head[kHeadLength];
    ssize_t got;
    do {
        got = ::pread(fileno(file.get()), head, sizeof head, 0);
    } while (got < 0 && errno == EINTR);
    const QByteArrayView start(head, got > 0 ? got : 0);
    const bool compressed = io::LooksCompressed(start);
    if (!compressed && !asciicast::LooksLikeAsciicast(start)) {
        return std::make_unique<RawTtyrecSource>(std::move(file));
    }
    // These read with positioned reads on a descriptor of their own, not the stream.
    UniqueFd fd(::fcntl(fileno(file.get()), F_DUPFD_CLOEXEC, 0));
    if (!fd.Valid()) {
        return nullptr;
    }
    return compressed ? io::OpenCompressedTtyrecSource(std::move(fd), options.spoolLimit)
                      : io::OpenAsciicastSource(std::move(fd));
}
}  // namespace

std::unique_ptr<FrameSource> OpenFrameSource(const QByteArray& path, const SourceOptions& options)
{
    io::FilePtr file = io::OpenFileOrReport(path, "rb");
    if (!file) {
        return nullptr;
    }
    return SourceForFile(std::move(file), options);
}

std::optional<QString> WhyNoRecording(const QByteArray& path)
{
    const char* reason = "";
    io::FilePtr file = io::OpenRegularFile(path, "rb", &reason);
    if (!file) {
        return QString::fromLocal8Bit(reason);
    }
    // Only a look: nothing is spooled for it.
    std::unique_ptr<FrameSource> source =
        SourceForFile(std::move(file), SourceOptions{.spoolLimit = 0});
    io::FrameHeader header;
    QByteArray body;
    if (!source || source->Next(header, body) != io::FrameReadStatus::Frame) {
        return Texts::NotARecording;
    }
    return std::nullopt;
}
