#include "playback/JsonScanner.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {
constexpr size_t kBlockSize = 64 * 1024;

bool IsSpace(char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// What ends a number or literal.
bool EndsScalar(char byte)
{
    return IsSpace(byte) || byte == ',' || byte == ']' || byte == '}' || byte == ':';
}
}  // namespace

// The bytes that matter to a value's structure outside its strings.
enum ByteClass : uint8_t
{
    kPlain,
    kQuote,
    kOpen,
    kClose,
};

constexpr std::array<uint8_t, 256> kByteClasses = [] {
    std::array<uint8_t, 256> classes{};
    classes['"'] = kQuote;
    classes['['] = kOpen;
    classes['{'] = kOpen;
    classes[']'] = kClose;
    classes['}'] = kClose;
    return classes;
}();

// Where a string, array or object being read stands; it survives block borders. Strings
// are most of a recording, so their ends are searched for with memchr, and a quote is
// taken as escaped when an odd run of backslashes stands before it.
struct JsonScanner::ValueState
{
    int64_t depth = 0;
    bool inString = false;
    // The run of backslashes that ended the last block inside a string was odd.
    bool oddBackslashes = false;
    bool done = false;

    // Takes bytes up to the value's end; returns where it stopped.
    const char* Advance(const char* at, const char* end)
    {
        while (at < end && !done) {
            at = inString ? AdvanceInString(at, end) : AdvanceInStructure(at, end);
        }
        return at;
    }

private:
    const char* AdvanceInString(const char* at, const char* end)
    {
        const auto* quote = static_cast<const char*>(std::memchr(at, '"', end - at));
        const char* stop = quote != nullptr ? quote : end;
        const char* run = stop;
        while (run > at && run[-1] == '\\') {
            --run;
        }
        const bool odd = (((stop - run) & 1) != 0) != (run == at && oddBackslashes);
        if (quote == nullptr) {
            oddBackslashes = odd;
            return end;
        }
        oddBackslashes = false;
        if (!odd) {
            inString = false;
            done = depth == 0;
        }
        return quote + 1;
    }

    const char* AdvanceInStructure(const char* at, const char* end)
    {
        while (at < end) {
            switch (kByteClasses[static_cast<unsigned char>(*at++)]) {
                case kPlain:
                    continue;
                case kQuote:
                    inString = true;
                    return at;
                case kOpen:
                    ++depth;
                    continue;
                case kClose:
                    if (--depth == 0) {
                        done = true;
                        return at;
                    }
                    continue;
            }
        }
        return at;
    }
};

JsonScanner::JsonScanner(int fd, int64_t offset) : fd_(fd), blockOffset_(offset) {}

JsonScanner::JsonScanner(QByteArrayView bytes)
    : data_(bytes.data()), fill_(static_cast<size_t>(bytes.size()))
{
}

void JsonScanner::ReleaseBuffer()
{
    if (fd_ < 0) {
        return;
    }
    blockOffset_ = Offset();
    pos_ = 0;
    fill_ = 0;
    std::vector<char>().swap(block_);
    data_ = nullptr;
}

bool JsonScanner::Fill()
{
    if (failed_ || fd_ < 0) {
        return false;
    }
    blockOffset_ += static_cast<int64_t>(fill_);
    pos_ = 0;
    fill_ = 0;
    if (block_.empty()) {
        block_.resize(kBlockSize);
    }
    data_ = block_.data();
    ssize_t got;
    do {
        got = ::pread(fd_, block_.data(), block_.size(), blockOffset_);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        failed_ = true;
        return false;
    }
    fill_ = static_cast<size_t>(got);
    return got > 0;
}

int JsonScanner::PeekAfterSpace()
{
    for (;;) {
        while (pos_ < fill_ && IsSpace(data_[pos_])) {
            ++pos_;
        }
        if (pos_ < fill_) {
            return static_cast<unsigned char>(data_[pos_]);
        }
        if (!Fill()) {
            return -1;
        }
    }
}

bool JsonScanner::Take(char byte)
{
    if (PeekAfterSpace() != static_cast<unsigned char>(byte)) {
        return false;
    }
    ++pos_;
    return true;
}

void JsonScanner::Keep(QByteArray* into, const char* from, const char* to, qsizetype max,
                       bool& tooLong)
{
    if (into == nullptr || tooLong) {
        return;
    }
    if (into->size() + (to - from) > max) {
        tooLong = true;
        *into = QByteArray();
        return;
    }
    into->append(from, to - from);
}

JsonScanner::Status JsonScanner::ReadScalar(QByteArray* into, qsizetype max)
{
    bool tooLong = false;
    for (;;) {
        const char* begin = data_ + pos_;
        const char* end = data_ + fill_;
        const char* at = begin;
        while (at < end && !EndsScalar(*at)) {
            ++at;
        }
        Keep(into, begin, at, max, tooLong);
        pos_ += static_cast<size_t>(at - begin);
        // The end of the input ends a scalar too.
        if (at < end || !Fill()) {
            break;
        }
    }
    if (failed_) {
        return Status::Failed;
    }
    return tooLong ? Status::TooLong : Status::Ok;
}

JsonScanner::Status JsonScanner::ReadValue(QByteArray* into, qsizetype max)
{
    into->clear();
    const Status status = Read(into, max);
    if (status != Status::Ok) {
        into->clear();
    }
    return status;
}

JsonScanner::Status JsonScanner::SkipValue()
{
    return Read(nullptr, 0);
}

JsonScanner::Status JsonScanner::Read(QByteArray* into, qsizetype max)
{
    const int first = PeekAfterSpace();
    if (first < 0) {
        return failed_ ? Status::Failed : Status::Bad;
    }
    if (first == ',' || first == ':' || first == ']' || first == '}') {
        return Status::Bad;
    }
    if (first != '"' && first != '[' && first != '{') {
        return ReadScalar(into, max);
    }
    ValueState state;
    bool tooLong = false;
    for (;;) {
        const char* begin = data_ + pos_;
        const char* at = state.Advance(begin, data_ + fill_);
        Keep(into, begin, at, max, tooLong);
        pos_ += static_cast<size_t>(at - begin);
        if (state.done) {
            return tooLong ? Status::TooLong : Status::Ok;
        }
        if (!Fill()) {
            return failed_ ? Status::Failed : Status::Bad;  // it ends inside the value
        }
    }
}
