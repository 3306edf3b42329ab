#include "WebClient.h"

namespace bench {

std::string WebSocketUpgradeRequest(int port)
{
    return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
}

bool WebFrameReader::TakeHeader(const char*& data, size_t& size)
{
    while (size > 0) {
        pending_.push_back(*data++);
        --size;
        const auto byte = [this](size_t i) { return static_cast<uint8_t>(pending_[i]); };
        if (pending_.size() < 2) {
            continue;
        }
        const size_t lengthBytes = (byte(1) & 0x7f) == 126 ? 2 : (byte(1) & 0x7f) == 127 ? 8 : 0;
        if (pending_.size() < 2 + lengthBytes) {
            continue;
        }
        uint64_t length = byte(1) & 0x7f;
        if (lengthBytes > 0) {
            length = 0;
            for (size_t i = 0; i < lengthBytes; ++i) {
                length = (length << 8) | byte(2 + i);
            }
        }
        frameOpcode_ = byte(0) & 0x0f;
        if (frameOpcode_ == 1 || frameOpcode_ == 2) {
            messageOpcode_ = frameOpcode_;
        }
        closed_ = closed_ || frameOpcode_ == 8;
        pending_.clear();
        if (length > 0) {
            payloadLeft_ = length;
            return true;
        }
    }
    return false;
}

}  // namespace bench
