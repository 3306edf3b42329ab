#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/UniqueFd.h"
#include "playback/ByteInput.h"

struct archive;

namespace io {

// True when the bytes open a stream of one of the compressions ArchiveInput decodes
// (gzip, bzip2, xz, zstd, lz4). Checked on more than the shortest magic where a
// raw ttyrec's first timestamp could otherwise pass for one.
bool LooksCompressed(QByteArrayView head);

// A compressed file, decompressed as it is read. Reads the file with positioned reads on
// a descriptor of its own, so several of these (and other readers) can share one file.
class ArchiveInput final : public ByteInput
{
public:
    // Takes the descriptor. Null when the file does not start with a compression this
    // decodes (see LooksCompressed). A file damaged from its start opens as Failed().
    static std::unique_ptr<ArchiveInput> Open(UniqueFd fd);
    ~ArchiveInput() override;
    ArchiveInput(const ArchiveInput&) = delete;
    ArchiveInput& operator=(const ArchiveInput&) = delete;

    size_t Read(void* into, size_t count) override;
    // True once the decompressor met damaged or cut data, or the file could not be read.
    bool Failed() const override { return failed_; }
    // The memory of the compressed block it reads ahead. The decompressor's own state (its
    // window, which the stream's header sizes) is the library's and cannot be seen.
    size_t BufferCapacity() const { return compressed_.capacity(); }

private:
    explicit ArchiveInput(UniqueFd fd);
    static long ReadCallback(struct archive*, void* self, const void** block);
    bool Start();

    UniqueFd fd_;
    struct archive* archive_ = nullptr;
    std::vector<char> compressed_;  // the block libarchive decodes from
    int64_t fileOffset_ = 0;
    bool failed_ = false;
    bool ended_ = false;
};

}  // namespace io
