#include "playback/ArchiveInput.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace io {

namespace {
// Compressed data is read in blocks of this size; decoding dominates the cost.
constexpr size_t kCompressedBlockSize = 64 * 1024;

bool StartsWith(QByteArrayView head, QByteArrayView magic)
{
    return head.size() >= magic.size() && head.first(magic.size()) == magic;
}
}  // namespace

bool LooksCompressed(QByteArrayView head)
{
    using namespace std::string_view_literals;
    // gzip: magic, deflate, and flags with the reserved bits clear.
    if (head.size() >= 4 && StartsWith(head, "\x1f\x8b\x08"sv) &&
        (static_cast<unsigned char>(head[3]) & 0xe0) == 0) {
        return true;
    }
    // bzip2: "BZh", a block size digit, then a block or the end-of-stream marker.
    if (head.size() >= 10 && StartsWith(head, "BZh"sv) && head[3] >= '1' && head[3] <= '9' &&
        (head.sliced(4, 6) == "\x31\x41\x59\x26\x53\x59"sv ||
         head.sliced(4, 6) == "\x17\x72\x45\x38\x50\x90"sv)) {
        return true;
    }
    return StartsWith(head,
                      "\xfd"
                      "7zXZ\0"sv) ||                  // xz
           StartsWith(head, "\x28\xb5\x2f\xfd"sv) ||  // zstd
           StartsWith(head, "\x04\x22\x4d\x18"sv);    // lz4 frame
}

ArchiveInput::ArchiveInput(UniqueFd fd) : fd_(std::move(fd)), compressed_(kCompressedBlockSize) {}

ArchiveInput::~ArchiveInput()
{
    if (archive_ != nullptr) {
        archive_read_free(archive_);
    }
}

std::unique_ptr<ArchiveInput> ArchiveInput::Open(UniqueFd fd)
{
    std::unique_ptr<ArchiveInput> input(new ArchiveInput(std::move(fd)));
    if (!input->Start()) {
        return nullptr;
    }
    return input;
}

long ArchiveInput::ReadCallback(struct archive*, void* self, const void** block)
{
    auto* input = static_cast<ArchiveInput*>(self);
    ssize_t got;
    do {
        got = ::pread(input->fd_.Get(), input->compressed_.data(), input->compressed_.size(),
                      input->fileOffset_);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        input->failed_ = true;
        return -1;
    }
    input->fileOffset_ += got;
    *block = input->compressed_.data();
    return static_cast<long>(got);
}

bool ArchiveInput::Start()
{
    char head[16];
    ssize_t got;
    do {
        got = ::pread(fd_.Get(), head, sizeof head, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0 || !LooksCompressed(QByteArrayView(head, got))) {
        return false;
    }
    archive_ = archive_read_new();
    if (archive_ == nullptr) {
        return false;
    }
    // Only the decompressors built into the library: the catch-all also enables filters
    // that run an outside program (lrzip, grzip, lzop), and a recording someone sent us
    // must never start a program. The raw format takes the decoded bytes as they are.
    archive_read_support_filter_gzip(archive_);
    archive_read_support_filter_bzip2(archive_);
    archive_read_support_filter_xz(archive_);
    archive_read_support_filter_zstd(archive_);
    archive_read_support_filter_lz4(archive_);
    archive_read_support_format_raw(archive_);
    // The data is compressed; when even its start does not decode, it is damaged there,
    // and the first read says so.
    struct archive_entry* entry = nullptr;
    if (archive_read_open(archive_, this, nullptr, &ArchiveInput::ReadCallback, nullptr) !=
            ARCHIVE_OK ||
        archive_read_next_header(archive_, &entry) != ARCHIVE_OK) {
        failed_ = true;
    }
    return true;
}

size_t ArchiveInput::Read(void* into, size_t count)
{
    auto* out = static_cast<char*>(into);
    size_t done = 0;
    while (done < count && !ended_ && !failed_) {
        const la_ssize_t got = archive_read_data(archive_, out + done, count - done);
        if (got < 0) {
            failed_ = true;
        } else if (got == 0) {
            ended_ = true;
        } else {
            done += static_cast<size_t>(got);
        }
    }
    return done;
}

}  // namespace io
