#include "playback/FrameSource.h"

#include "playback/RawTtyrecSource.h"

namespace {
// Picks the reader for an opened recording from what it holds. Every recording is read
// as plain ttyrec for now; other formats are told apart here by their first bytes.
std::unique_ptr<FrameSource> SourceForFile(io::FilePtr file)
{
    return std::make_unique<RawTtyrecSource>(std::move(file));
}
}  // namespace

std::unique_ptr<FrameSource> OpenFrameSource(const QByteArray& path)
{
    io::FilePtr file = io::OpenFileOrReport(path, "rb");
    if (!file) {
        return nullptr;
    }
    return SourceForFile(std::move(file));
}
