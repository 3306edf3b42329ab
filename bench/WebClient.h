#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The reading half of a browser viewer, for measuring only: the HTTP upgrade request and
// an incremental reader of the server's frames (never masked), which hands on the
// payload of binary messages and skips everything else.
namespace bench {

std::string WebSocketUpgradeRequest(int port);

class WebFrameReader
{
public:
    // Takes bytes as they arrive; calls sink(data, size) for binary payload bytes.
    // Returns false once the bytes cannot be a WebSocket stream (bad handshake answer).
    template <class Sink>
    bool Feed(const char* data, size_t size, Sink&& sink);
    bool Upgraded() const { return state_ != State::Handshake; }
    bool Closed() const { return closed_; }

private:
    enum class State
    {
        Handshake,
        Header,
        Payload,
    };
    // Consumes header bytes; true when the header is complete.
    bool TakeHeader(const char*& data, size_t& size);

    State state_ = State::Handshake;
    std::string pending_;  // the handshake answer, or a header, read so far
    uint64_t payloadLeft_ = 0;
    int messageOpcode_ = 0;  // of the message continuation frames belong to
    int frameOpcode_ = 0;    // of the frame being read
    bool closed_ = false;
};

template <class Sink>
bool WebFrameReader::Feed(const char* data, size_t size, Sink&& sink)
{
    while (size > 0) {
        if (state_ == State::Handshake) {
            pending_.append(data, size);
            size = 0;
            const size_t end = pending_.find("\r\n\r\n");
            if (end == std::string::npos) {
                return pending_.size() < 8192;
            }
            if (pending_.compare(0, 12, "HTTP/1.1 101") != 0) {
                return false;
            }
            const std::string rest = pending_.substr(end + 4);
            pending_.clear();
            state_ = State::Header;
            if (!rest.empty() && !Feed(rest.data(), rest.size(), sink)) {
                return false;
            }
        } else if (state_ == State::Header) {
            if (TakeHeader(data, size)) {
                state_ = State::Payload;
            }
        } else {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(payloadLeft_, size));
            const int opcode = frameOpcode_ == 0 ? messageOpcode_ : frameOpcode_;
            if (opcode == 2) {
                sink(data, n);
            }
            data += n;
            size -= n;
            payloadLeft_ -= n;
        }
        if (state_ == State::Payload && payloadLeft_ == 0) {
            state_ = State::Header;
        }
    }
    return true;
}

}  // namespace bench
