// Any bytes as a recording's output, fed to the screen model whole and then in pieces:
// it must not crash, and what it answers (the repaint, or that it cannot) must be the same
// however the frames split the stream, since a frame may end anywhere. (Where several
// things stand in the way, which one is named first may depend on where libvterm was
// given the bytes.)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "server/screen/ScreenModel.h"

namespace {

QByteArray Answer(int cols, int rows, const char* data, size_t size,
                  const std::vector<size_t>& cuts)
{
    ScreenModel model(cols, rows);
    size_t from = 0;
    for (size_t cut : cuts) {
        model.Feed(QByteArrayView(data + from, static_cast<qsizetype>(cut - from)));
        from = cut;
    }
    model.Feed(QByteArrayView(data + from, static_cast<qsizetype>(size - from)));
    return model.CanRepaint() ? model.Repaint() : QByteArray("cannot");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Two bytes give the size (small, so that each input runs fast), one says how many
    // of the next bytes choose split points (up to 8); the rest is the stream.
    if (size < 3) {
        return 0;
    }
    const int cols = 1 + data[0] % 40;
    const int rows = 1 + data[1] % 12;
    const size_t choosers = std::min<size_t>(data[2] % 9, size - 3);
    const char* stream = reinterpret_cast<const char*>(data + 3 + choosers);
    const size_t length = size - 3 - choosers;
    std::vector<size_t> cuts;
    for (size_t i = 0; i < choosers && length > 0; ++i) {
        cuts.push_back(data[3 + i] * length / 256);
    }
    std::sort(cuts.begin(), cuts.end());
    if (Answer(cols, rows, stream, length, {}) != Answer(cols, rows, stream, length, cuts)) {
        std::fprintf(stderr, "the answer depends on where the frames end\n");
        std::abort();
    }
    return 0;
}
