#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <vector>

// Walks JSON text in a file without building it: finds where each value begins and ends,
// so that a document of any size is read one small value at a time. It checks only the
// structure (strings closed, brackets balanced); whoever takes a value's bytes parses them
// in full. Reads a file with positioned reads, so it never moves the descriptor's offset,
// or bytes already in memory.
class JsonScanner
{
public:
    enum class Status
    {
        Ok,       // a value was read (or skipped)
        TooLong,  // the value is longer than asked for; it was skipped
        Bad,      // no value starts here, or the input ends inside one
        Failed,   // the file could not be read
    };

    // From the offset in the file. The descriptor must stay open while the scanner is used.
    JsonScanner(int fd, int64_t offset);
    // The bytes, which must outlive the scanner; Offset() counts from their start.
    explicit JsonScanner(QByteArrayView bytes);

    // The next byte after white space, not taken; -1 at the end of the input (or when it
    // cannot be read: Failed() tells).
    int PeekAfterSpace();
    // Takes the next byte after white space when it is `byte`.
    bool Take(char byte);
    // Reads the value that starts after white space: a string, a number or literal, an
    // array or an object. Its bytes go to `into` (when given) if there are at most `max` of
    // them; a longer one is read to its end and gives TooLong.
    Status ReadValue(QByteArray* into, qsizetype max);
    // Skips the value that starts after white space.
    Status SkipValue();

    // Where the next byte stands in the file.
    int64_t Offset() const { return blockOffset_ + static_cast<int64_t>(pos_); }
    bool Failed() const { return failed_; }
    // The memory its read-ahead block holds.
    size_t BufferCapacity() const { return block_.capacity(); }
    // Lets go of the read-ahead block; the next read takes it again, from Offset().
    void ReleaseBuffer();

private:
    struct ValueState;

    bool Fill();
    Status ReadScalar(QByteArray* into, qsizetype max);
    Status Read(QByteArray* into, qsizetype max);
    void Keep(QByteArray* into, const char* from, const char* to, qsizetype max, bool& tooLong);

    int fd_ = -1;  // -1: the bytes were given
    std::vector<char> block_;
    const char* data_ = nullptr;  // block_'s bytes, or the bytes given
    int64_t blockOffset_ = 0;     // the offset of data_[0]
    size_t pos_ = 0;
    size_t fill_ = 0;
    bool failed_ = false;
};
