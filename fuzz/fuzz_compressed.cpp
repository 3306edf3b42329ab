// Any bytes as a compressed recording: decompressed through libarchive and read as ttyrec
// frames until the data ends or turns out damaged. Only a crash, a hang or a sanitizer
// report is a finding; a damaged input must stop reading at once.
#include <sys/mman.h>
#include <unistd.h>

#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "playback/ArchiveInput.h"
#include "playback/FrameReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    UniqueFd fd(::memfd_create("fuzz", MFD_CLOEXEC));
    if (!fd.Valid() || ::write(fd.Get(), data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    std::unique_ptr<io::ArchiveInput> input = io::ArchiveInput::Open(std::move(fd));
    if (!input) {
        return 0;
    }
    io::FrameHeader header;
    QByteArray body;
    for (int frame = 0; frame < 4096; ++frame) {
        if (io::ReadFrame(*input, header, body) != io::FrameReadStatus::Frame || input->Failed()) {
            break;
        }
        if (header.length != body.size()) {
            std::fprintf(stderr, "check failed: body length\n");
            std::abort();
        }
    }
    return 0;
}
