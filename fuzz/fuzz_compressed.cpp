// Any bytes as a compressed recording: decompressed by the compression's own library and
// read as ttyrec frames until the data ends or turns out damaged. Only a crash, a hang or a
// sanitizer report is a finding; a damaged input must stop reading at once, and every
// read before it must have been whole.
#include <sys/mman.h>
#include <unistd.h>

#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "playback/CompressedInput.h"
#include "playback/FrameReader.h"

namespace {
void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    UniqueFd fd(::memfd_create("fuzz", MFD_CLOEXEC));
    if (!fd.Valid() || ::write(fd.Get(), data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    std::unique_ptr<io::CompressedInput> input = io::CompressedInput::Open(std::move(fd));
    if (!input) {
        return 0;
    }
    io::FrameHeader header;
    QByteArray body;
    for (int frame = 0; frame < 4096; ++frame) {
        const io::FrameReadStatus status = io::ReadFrame(*input, header, body);
        if (status != io::FrameReadStatus::Frame) {
            break;
        }
        Check(header.length == body.size(), "body length");
        if (input->Failed()) {
            // Damage shows only on a read that stopped short; then nothing more comes.
            char byte = 0;
            Check(input->Read(&byte, 1) == 0 && input->Failed(), "reads after damage");
            break;
        }
    }
    return 0;
}
