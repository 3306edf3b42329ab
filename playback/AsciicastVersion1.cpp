#include "playback/AsciicastVersion1.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include "playback/ByteInput.h"
#include "playback/io.h"

namespace asciicast {

namespace {

// One JSON value's text as a value; none when it does not parse.
std::optional<QJsonValue> ParseValue(const QByteArray& text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson('[' + text + ']', &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1) {
        return std::nullopt;
    }
    return document.array().first();
}

// Reads `"key":` and gives the key; none when no string key and colon follow.
std::optional<QString> ReadKey(JsonScanner& scanner)
{
    QByteArray text;
    if (scanner.PeekAfterSpace() != '"' ||
        scanner.ReadValue(&text, kMaxVersion1HeaderValue) != JsonScanner::Status::Ok ||
        !scanner.Take(':')) {
        return std::nullopt;
    }
    const std::optional<QJsonValue> key = ParseValue(text);
    return key ? std::optional<QString>(key->toString()) : std::nullopt;
}

bool HeaderKnown(const QJsonObject& keys)
{
    return keys.contains(QLatin1String("version")) && keys.contains(QLatin1String("width")) &&
           keys.contains(QLatin1String("height"));
}

// Reads a key's value into keys; false when it is no value, too long, or does not parse.
bool ReadKeyValue(JsonScanner& scanner, const QString& key, QJsonObject& keys)
{
    QByteArray text;
    if (scanner.ReadValue(&text, kMaxVersion1HeaderValue) != JsonScanner::Status::Ok) {
        return false;
    }
    const std::optional<QJsonValue> value = ParseValue(text);
    if (value) {
        keys.insert(key, *value);
    }
    return value.has_value();
}

// Reads the keys and values that follow the entries (`, "key": value` up to the object's
// "}") into keys when given, and requires nothing but white space after the object.
bool ReadRestOfObject(JsonScanner& scanner, QJsonObject* keys)
{
    while (!scanner.Take('}')) {
        std::optional<QString> key;
        if (!scanner.Take(',') || !(key = ReadKey(scanner))) {
            return false;
        }
        const bool read = keys != nullptr ? ReadKeyValue(scanner, *key, *keys)
                                          : scanner.SkipValue() == JsonScanner::Status::Ok;
        if (!read) {
            return false;
        }
    }
    return scanner.PeekAfterSpace() < 0 && !scanner.Failed();
}

// Reads the keys before "stdout", from just after the object's "{"; gives where the
// entries start, or none when the object breaks first or has no "stdout" array.
std::optional<int64_t> ReadKeysBeforeEntries(JsonScanner& scanner, QJsonObject& keys)
{
    for (bool first = true; !scanner.Take('}'); first = false) {
        std::optional<QString> key;
        if ((!first && !scanner.Take(',')) || !(key = ReadKey(scanner))) {
            return std::nullopt;
        }
        if (*key == QLatin1String("stdout") && scanner.PeekAfterSpace() == '[') {
            return scanner.Offset() + 1;
        }
        if (!ReadKeyValue(scanner, *key, keys)) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The keys written after the entries, found from the end of the file, which an object
// ends with `], "key": value, ...}`: each "]" of its last stretch is tried as the end of
// the entries, from the first on, until what follows reads as the rest of the object.
// Bounded: a crafted tail could otherwise make every try read on to its end.
QJsonObject KeysAfterEntries(int fd, int64_t entriesOffset)
{
    constexpr qsizetype kStretch = 2 * kMaxVersion1HeaderValue;
    constexpr int64_t kTriedBytes = 8 * kStretch;
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || info.st_size <= entriesOffset) {
        return {};
    }
    const int64_t from = std::max<int64_t>(entriesOffset, info.st_size - kStretch);
    QByteArray stretch(static_cast<qsizetype>(info.st_size - from), Qt::Uninitialized);
    io::PositionedInput input(fd, from);
    stretch.resize(static_cast<qsizetype>(input.Read(stretch.data(), stretch.size())));
    int64_t tried = 0;
    for (qsizetype at = stretch.indexOf(']'); at >= 0 && tried < kTriedBytes;
         at = stretch.indexOf(']', at + 1)) {
        JsonScanner scanner(QByteArrayView(stretch).sliced(at + 1));
        QJsonObject keys;
        if (ReadRestOfObject(scanner, &keys)) {
            return keys;
        }
        tried += scanner.Offset();
    }
    return {};
}

}  // namespace

std::optional<Version1Layout> ReadVersion1Layout(int fd)
{
    // A byte-order mark may come first.
    char mark[3] = {};
    const bool marked =
        ::pread(fd, mark, sizeof mark, 0) == 3 && QByteArrayView(mark, 3) == "\xef\xbb\xbf";
    JsonScanner scanner(fd, marked ? 3 : 0);
    if (!scanner.Take('{')) {
        return std::nullopt;
    }
    QJsonObject keys;
    const std::optional<int64_t> entries = ReadKeysBeforeEntries(scanner, keys);
    if (!entries) {
        return std::nullopt;
    }
    if (!HeaderKnown(keys)) {
        const QJsonObject after = KeysAfterEntries(fd, *entries);
        for (auto key = after.begin(); key != after.end(); ++key) {
            if (!keys.contains(key.key())) {
                keys.insert(key.key(), key.value());
            }
        }
    }
    const std::optional<Header> header = Version1Header(keys);
    if (!header) {
        return std::nullopt;
    }
    return Version1Layout{*header, *entries};
}

Version1Entries::Version1Entries(int fd, int64_t entriesOffset) : scanner_(fd, entriesOffset) {}

Version1Entries::Status Version1Entries::Next(QByteArray& entry)
{
    if (scanner_.Take(']')) {
        // After the entries, the object's other keys (read at the opening, or of no
        // matter) and nothing but white space after it.
        if (ReadRestOfObject(scanner_, nullptr)) {
            return Status::End;
        }
        return scanner_.Failed() ? Status::Failed : Status::Invalid;
    }
    if (!first_ && !scanner_.Take(',')) {
        return scanner_.Failed() ? Status::Failed : Status::Invalid;
    }
    first_ = false;
    switch (scanner_.ReadValue(&entry, kMaxEventLength)) {
        case JsonScanner::Status::Ok:
            return Status::Entry;
        case JsonScanner::Status::Failed:
            return Status::Failed;
        case JsonScanner::Status::TooLong:
        case JsonScanner::Status::Bad:
            break;
    }
    return Status::Invalid;
}

}  // namespace asciicast
