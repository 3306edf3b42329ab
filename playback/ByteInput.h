#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Where a frame parser's bytes come from: a buffered stream, a positioned cursor on a
// descriptor, a decompressor. One parser reads them all, so every reader of a recording
// sees the same frames.
namespace io {

class ByteInput
{
public:
    virtual ~ByteInput() = default;
    // Reads up to count bytes into `into`; fewer only at the end of the input or on a
    // failure, which Failed() then tells apart.
    virtual size_t Read(void* into, size_t count) = 0;
    // True once a read stopped short because the input is damaged or unreadable, not
    // because it ended.
    virtual bool Failed() const { return false; }
};

// A stdio stream, read from where it stands. The stream must outlive this object.
class StreamInput final : public ByteInput
{
public:
    explicit StreamInput(std::FILE* stream) : stream_(stream) {}
    size_t Read(void* into, size_t count) override;
    bool Failed() const override;

private:
    std::FILE* stream_;
};

// A cursor of its own on a descriptor: positioned reads in large blocks, so it never
// moves the descriptor's shared offset or disturbs another reader of the same file.
// The descriptor must stay open while this object is used.
class PositionedInput final : public ByteInput
{
public:
    explicit PositionedInput(int fd, int64_t offset = 0);
    size_t Read(void* into, size_t count) override;
    bool Failed() const override { return failed_; }
    // The offset of the next byte Read returns.
    int64_t Offset() const { return bufferOffset_ + static_cast<int64_t>(bufferPos_); }
    // Makes offset the next byte Read returns: within the block read ahead without a
    // system call, else by reading there afresh.
    void Seek(int64_t offset);
    // Drops the read-ahead block; it is allocated again by the next Read.
    void ReleaseBuffer();
    // The memory the read-ahead block holds.
    size_t BufferCapacity() const { return buffer_.capacity(); }

private:
    bool Refill();

    int fd_;
    std::vector<char> buffer_;
    int64_t bufferOffset_;  // file offset of buffer_[0]
    size_t bufferFill_ = 0;
    size_t bufferPos_ = 0;
    bool failed_ = false;
};

}  // namespace io
