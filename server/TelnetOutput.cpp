#include "server/TelnetOutput.h"

#include <algorithm>
#include <cstring>

namespace {

// Where the first 0xFF stands and how many there are from there on.
struct IacScan
{
    qsizetype first = -1;  // -1: none
    qsizetype count = 0;
};

IacScan ScanForIac(const char* data, qsizetype length)
{
    if (length <= 0) {
        return IacScan{};
    }
    // Terminal output almost never holds 0xFF: one vectorised search settles most frames.
    const void* first = std::memchr(data, 0xff, static_cast<size_t>(length));
    if (first == nullptr) {
        return IacScan{};
    }
    const qsizetype at = static_cast<const char*>(first) - data;
    return IacScan{at, std::count(data + at, data + length, '\xff')};
}

// Writes from[scan.first, length) to `to` with every 0xFF doubled, from the back, so that
// `to` may be `from` itself: each byte then moves once and nothing is overwritten before
// it is read. The bytes before the first 0xFF are the caller's to place.
void DoubleFromBack(const char* from, char* to, qsizetype length, IacScan scan)
{
    qsizetype out = length + scan.count;
    for (qsizetype in = length; in > scan.first;) {
        const char byte = from[--in];
        to[--out] = byte;
        if (byte == '\xff') {
            to[--out] = byte;
        }
    }
}

}  // namespace

qsizetype EscapeTelnetIac(char* data, qsizetype length)
{
    const IacScan scan = ScanForIac(data, length);
    if (scan.count == 0) {
        return length;
    }
    DoubleFromBack(data, data, length, scan);
    return length + scan.count;
}

void EscapeTelnetIac(QByteArray& bytes)
{
    const qsizetype length = bytes.size();
    const IacScan scan = ScanForIac(bytes.constData(), length);
    if (scan.count == 0) {
        return;
    }
    bytes.resize(length + scan.count);
    char* data = bytes.data();
    DoubleFromBack(data, data, length, scan);
}

QByteArray TelnetEscaped(const QByteArray& recorded)
{
    const qsizetype length = recorded.size();
    const IacScan scan = ScanForIac(recorded.constData(), length);
    if (scan.count == 0) {
        return recorded;
    }
    // Copying and doubling are one pass: the block is written once.
    QByteArray escaped(length + scan.count, Qt::Uninitialized);
    std::memcpy(escaped.data(), recorded.constData(), static_cast<size_t>(scan.first));
    DoubleFromBack(recorded.constData(), escaped.data(), length, scan);
    return escaped;
}
