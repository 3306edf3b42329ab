// Any bytes on a channel's subjects, as whoever can publish there sends them: decoding
// never reads past the message, and what it accepts encodes back to the same bytes.
#include <cstdint>
#include <cstdlib>

#include "relay/RelayMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<RelayMessage> message = DecodeRelayMessage(bytes);
    if (!message) {
        return 0;
    }
    // Texts that are not UTF-8 come back changed; everything else must come back whole.
    const bool hasText = message->kind == RelayMessage::Kind::Recording ||
                         message->kind == RelayMessage::Kind::FileText;
    const QByteArray again = EncodeRelayMessage(*message);
    if (!hasText && again != bytes) {
        std::abort();
    }
    if (!DecodeRelayMessage(again)) {
        std::abort();
    }
    return 0;
}
