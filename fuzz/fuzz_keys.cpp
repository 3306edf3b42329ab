// Any bytes from a viewer, fed to the key decoder whole and then in pieces: the keys must
// be the same however the reads split the stream, since TCP splits it as it likes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "server/TelnetKeyDecoder.h"

namespace {

std::vector<ViewerKey> Decode(const char* data, size_t size, const std::vector<size_t>& cuts)
{
    TelnetKeyDecoder decoder;
    std::vector<ViewerKey> keys;
    const auto collect = [&keys](ViewerKey key) { keys.push_back(key); };
    size_t from = 0;
    for (size_t cut : cuts) {
        decoder.Feed(data + from, static_cast<qsizetype>(cut - from), collect);
        from = cut;
    }
    decoder.Feed(data + from, static_cast<qsizetype>(size - from), collect);
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte says how many of the next bytes choose split points (up to 8); the
    // rest is the viewer's stream.
    if (size == 0) {
        return 0;
    }
    const size_t choosers = std::min<size_t>(data[0] % 9, size - 1);
    const char* stream = reinterpret_cast<const char*>(data + 1 + choosers);
    const size_t length = size - 1 - choosers;

    std::vector<size_t> cuts;
    for (size_t i = 0; i < choosers && length > 0; ++i) {
        cuts.push_back(data[1 + i] % (length + 1));
    }
    std::sort(cuts.begin(), cuts.end());

    const std::vector<ViewerKey> whole = Decode(stream, length, {});
    const std::vector<ViewerKey> split = Decode(stream, length, cuts);
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < length && length <= 512; ++i) {
        everyByte.push_back(i);
    }
    const std::vector<ViewerKey> bytewise = Decode(stream, length, everyByte);
    if (split != whole || (length <= 512 && bytewise != whole)) {
        std::fprintf(stderr, "keys differ with the stream split (%zu whole, %zu split)\n",
                     whole.size(), split.size());
        std::abort();
    }
    // No byte yields more than two keys (a lone ESC and the byte after it).
    if (whole.size() > 2 * length) {
        std::fprintf(stderr, "%zu keys from %zu bytes\n", whole.size(), length);
        std::abort();
    }
    return 0;
}
