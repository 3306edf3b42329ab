#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>

#include "playback/AsciicastParser.h"
#include "playback/JsonScanner.h"

// An asciicast v1 file, one JSON object whose "stdout" array holds the output, read as a
// stream: the header's keys once, then the array's entries one at a time, so that neither
// the time nor the memory it takes grows with the file.
namespace asciicast {

// Where a v1 object's parts lie in its file.
struct Version1Layout
{
    Header header;
    // The file offset just after the "stdout" array's "[".
    int64_t entriesOffset = 0;
};

// The longest value besides "stdout" taken from the object (an "env" or a "title").
inline constexpr qsizetype kMaxVersion1HeaderValue = 1024 * 1024;

// Reads the object's keys up to its "stdout" array; when a key the header needs (version,
// width, height) has not come by then, it looks for it among the keys that end the file.
// The array itself is never read here, so this takes as long for any size of file. None
// when the file holds no v1 object with a "stdout" array.
std::optional<Version1Layout> ReadVersion1Layout(int fd);

// Reads the entries of a v1 recording's "stdout" array, one at a time, from where they
// start. The descriptor must stay open while this is used.
class Version1Entries
{
public:
    enum class Status
    {
        Entry,    // entry holds the next entry's JSON text
        End,      // the array ended, and the rest of the object is well formed
        Invalid,  // the array or the object breaks here, or an entry is too long
        Failed,   // the file could not be read
    };

    Version1Entries(int fd, int64_t entriesOffset);
    Status Next(QByteArray& entry);
    size_t BufferCapacity() const { return scanner_.BufferCapacity(); }
    void ReleaseBuffer() { scanner_.ReleaseBuffer(); }

private:
    JsonScanner scanner_;
    bool first_ = true;
};

}  // namespace asciicast
