#include "relay/RelayMessage.h"

namespace {
constexpr char kVersion = 1;

// Appends and reads big-endian fields; a reader that runs past the end stays failed.
class Writer
{
public:
    explicit Writer(RelayMessage::Kind kind)
    {
        bytes_.append(kVersion);
        bytes_.append(static_cast<char>(kind));
    }
    void U8(uint8_t value) { bytes_.append(static_cast<char>(value)); }
    void U16(uint16_t value) { Unsigned(value, 2); }
    void U32(uint32_t value) { Unsigned(value, 4); }
    void U64(uint64_t value) { Unsigned(value, 8); }
    void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
    void Rest(QByteArrayView rest) { bytes_.append(rest); }
    QByteArray Take() { return std::move(bytes_); }

private:
    void Unsigned(uint64_t value, int width)
    {
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
            bytes_.append(static_cast<char>((value >> shift) & 0xFF));
        }
    }
    QByteArray bytes_;
};

class Reader
{
public:
    explicit Reader(QByteArrayView bytes) : bytes_(bytes) {}
    bool Ok() const { return ok_; }
    uint8_t U8() { return static_cast<uint8_t>(Unsigned(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Unsigned(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Unsigned(4)); }
    uint64_t U64() { return Unsigned(8); }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    QByteArrayView Rest()
    {
        const QByteArrayView rest = ok_ ? bytes_.sliced(at_) : QByteArrayView();
        at_ = bytes_.size();
        return rest;
    }

private:
    uint64_t Unsigned(int width)
    {
        if (!ok_ || bytes_.size() - at_ < width) {
            ok_ = false;
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            value = (value << 8) | static_cast<uint8_t>(bytes_[at_++]);
        }
        return value;
    }
    QByteArrayView bytes_;
    qsizetype at_ = 0;
    bool ok_ = true;
};

bool ValidSpeed(int speed)
{
    return speed >= 1 && speed <= 100;
}

bool ValidSize(QSize size)
{
    return size.isEmpty() ? size == QSize(0, 0)
                          : size.width() <= kMaxRelayedTerminalSide &&
                                size.height() <= kMaxRelayedTerminalSide;
}

bool ValidTime(io::FrameTime time)
{
    return time.microseconds >= 0 && time.microseconds < 1000000;
}

bool ValidSender(QByteArrayView sender)
{
    return !sender.isEmpty() && sender.size() <= kMaxSenderBytes;
}

bool ValidKey(RelayMessage::KeyAction key)
{
    return key >= RelayMessage::KeyAction::Faster && key <= RelayMessage::KeyAction::SetSpeed;
}

// The kind's fields; false when one is missing or out of range.
bool ReadFields(Reader& in, RelayMessage& out)
{
    using Kind = RelayMessage::Kind;
    switch (out.kind) {
        case Kind::Recording: {
            out.epoch = in.U32();
            out.again = (in.U8() & 1) != 0;
            out.time.seconds = in.I32();
            out.time.microseconds = in.I32();
            const int columns = in.U16();
            out.terminalSize = QSize(columns, in.U16());
            out.speed = in.U8();
            out.text = QString::fromUtf8(in.Rest());
            return in.Ok() && ValidTime(out.time) && ValidSize(out.terminalSize) &&
                   ValidSpeed(out.speed);
        }
        case Kind::Frame:
            out.epoch = in.U32();
            out.seq = in.U64();
            out.time.seconds = in.I32();
            out.time.microseconds = in.I32();
            out.bytes = in.Rest().toByteArray();
            return in.Ok() && ValidTime(out.time);
        case Kind::Speed:
            out.speed = in.U8();
            return in.Ok() && ValidSpeed(out.speed) && in.Rest().isEmpty();
        case Kind::FileText:
            out.text = QString::fromUtf8(in.Rest());
            return in.Ok();
        case Kind::Key:
            out.key = static_cast<RelayMessage::KeyAction>(in.U8());
            out.speed = in.U8();
            out.sender = in.Rest().toByteArray();
            return in.Ok() && ValidKey(out.key) && ValidSender(out.sender) &&
                   (out.key != RelayMessage::KeyAction::SetSpeed || ValidSpeed(out.speed));
        case Kind::Viewers:
            out.viewers = in.U32();
            out.sender = in.Rest().toByteArray();
            return in.Ok() && ValidSender(out.sender);
        case Kind::Heartbeat:
            out.viewers = in.U32();
            return in.Ok() && in.Rest().isEmpty();
    }
    return false;
}

bool KnownKind(char kind)
{
    switch (static_cast<RelayMessage::Kind>(kind)) {
        case RelayMessage::Kind::Recording:
        case RelayMessage::Kind::Frame:
        case RelayMessage::Kind::Speed:
        case RelayMessage::Kind::FileText:
        case RelayMessage::Kind::Key:
        case RelayMessage::Kind::Viewers:
        case RelayMessage::Kind::Heartbeat:
            return true;
    }
    return false;
}
}  // namespace

QByteArray EncodeRelayMessage(const RelayMessage& message)
{
    using Kind = RelayMessage::Kind;
    Writer out(message.kind);
    switch (message.kind) {
        case Kind::Recording:
            out.U32(message.epoch);
            out.U8(message.again ? 1 : 0);
            out.I32(message.time.seconds);
            out.I32(message.time.microseconds);
            out.U16(static_cast<uint16_t>(
                message.terminalSize.isEmpty() ? 0 : message.terminalSize.width()));
            out.U16(static_cast<uint16_t>(
                message.terminalSize.isEmpty() ? 0 : message.terminalSize.height()));
            out.U8(static_cast<uint8_t>(message.speed));
            out.Rest(message.text.toUtf8());
            break;
        case Kind::Frame:
            out.U32(message.epoch);
            out.U64(message.seq);
            out.I32(message.time.seconds);
            out.I32(message.time.microseconds);
            out.Rest(message.bytes);
            break;
        case Kind::Speed:
            out.U8(static_cast<uint8_t>(message.speed));
            break;
        case Kind::FileText:
            out.Rest(message.text.toUtf8());
            break;
        case Kind::Key:
            out.U8(static_cast<uint8_t>(message.key));
            out.U8(static_cast<uint8_t>(message.speed));
            out.Rest(message.sender);
            break;
        case Kind::Viewers:
            out.U32(message.viewers);
            out.Rest(message.sender);
            break;
        case Kind::Heartbeat:
            out.U32(message.viewers);
            break;
    }
    return out.Take();
}

std::optional<RelayMessage> DecodeRelayMessage(QByteArrayView bytes)
{
    if (bytes.size() < 2 || bytes[0] != kVersion || !KnownKind(bytes[1])) {
        return std::nullopt;
    }
    RelayMessage message;
    message.kind = static_cast<RelayMessage::Kind>(bytes[1]);
    Reader in(bytes.sliced(2));
    if (!ReadFields(in, message)) {
        return std::nullopt;
    }
    return message;
}
