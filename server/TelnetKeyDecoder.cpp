#include "server/TelnetKeyDecoder.h"

namespace {

constexpr uchar kIac = 255;
constexpr uchar kSb = 250;
constexpr uchar kWill = 251;
constexpr uchar kDont = 254;
constexpr uchar kSe = 240;

constexpr uchar kNul = 0x00;
constexpr uchar kLf = 0x0A;
constexpr uchar kCr = 0x0D;
constexpr uchar kEsc = 0x1B;
constexpr uchar kBel = 0x07;

bool IsFinalByte(uchar byte)
{
    return byte >= 0x40 && byte <= 0x7E;
}

// Parameter (0x30-0x3F) and intermediate (0x20-0x2F) bytes of a sequence.
bool IsParameterOrIntermediate(uchar byte)
{
    return byte >= 0x20 && byte <= 0x3F;
}

}  // namespace

void TelnetKeyDecoder::Feed(const char* data, qsizetype size,
                            const std::function<void(ViewerKey)>& onKey)
{
    for (qsizetype i = 0; i < size; ++i) {
        const auto byte = static_cast<uchar>(data[i]);
        if (!telnet_ || TelnetByte(byte)) {
            KeyByte(byte, onKey);
        }
    }
}

void TelnetKeyDecoder::Feed(const QByteArray& bytes, const std::function<void(ViewerKey)>& onKey)
{
    Feed(bytes.constData(), bytes.size(), onKey);
}

bool TelnetKeyDecoder::HoldsPossibleEscape() const
{
    // Strings (ESC ] and ESC P) are terminals' answers, which may come in pieces and
    // are never keys; they keep waiting for their terminator.
    return keyState_ == KeyState::Escape || keyState_ == KeyState::Csi ||
           keyState_ == KeyState::Ss3;
}

void TelnetKeyDecoder::FlushPossibleEscape(const std::function<void(ViewerKey)>& onKey)
{
    if (!HoldsPossibleEscape()) {
        return;
    }
    keyState_ = KeyState::Ground;
    onKey(ViewerKey::NextFrame);
}

bool TelnetKeyDecoder::TelnetByte(uchar byte)
{
    switch (telnetState_) {
        case TelnetState::Data:
            if (byte == kIac) {
                telnetState_ = TelnetState::Command;
                return false;
            }
            return true;
        case TelnetState::Command:
            TelnetCommandByte(byte);
            // IAC IAC is the data byte 255; the key layer decides what it means.
            return byte == kIac;
        case TelnetState::Option:
            telnetState_ = TelnetState::Data;
            return false;
        case TelnetState::Subnegotiation:
            if (byte == kIac) {
                telnetState_ = TelnetState::SubnegotiationIac;
            } else if (++subnegotiationLength_ > kMaxSubnegotiationLength) {
                telnetState_ = TelnetState::Data;
            }
            return false;
        case TelnetState::SubnegotiationIac:
            if (byte == kSe) {
                telnetState_ = TelnetState::Data;
            } else if (byte == kIac) {
                // An escaped 255 among the parameters: data of the subnegotiation.
                telnetState_ = TelnetState::Subnegotiation;
                ++subnegotiationLength_;
            } else {
                // Any other command means the client never closed the subnegotiation;
                // the command ends it and counts as a command in its own right, so a
                // missing SE cannot swallow the viewer's keys.
                TelnetCommandByte(byte);
            }
            return false;
    }
    return false;
}

void TelnetKeyDecoder::TelnetCommandByte(uchar byte)
{
    if (byte == kSb) {
        telnetState_ = TelnetState::Subnegotiation;
        subnegotiationLength_ = 0;
    } else if (byte >= kWill && byte <= kDont) {
        telnetState_ = TelnetState::Option;
    } else {
        // Commands without an option, IAC IAC, and bytes below 240 that name no command.
        telnetState_ = TelnetState::Data;
    }
}

void TelnetKeyDecoder::KeyByte(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    switch (keyState_) {
        case KeyState::Ground:
            GroundByte(byte, onKey);
            return;
        case KeyState::AfterCr:
            keyState_ = KeyState::Ground;
            // The telnet newline is CR LF or CR NUL: one press of Enter, one key.
            if (byte != kLf && byte != kNul) {
                GroundByte(byte, onKey);
            }
            return;
        case KeyState::Escape:
            EscapeByte(byte, onKey);
            return;
        case KeyState::Csi:
            CsiByte(byte, onKey);
            return;
        case KeyState::Ss3:
            Ss3Byte(byte, onKey);
            return;
        case KeyState::String:
            StringByte(byte, onKey);
            return;
        case KeyState::StringEsc:
            StringEscByte(byte, onKey);
            return;
        case KeyState::MouseX10:
            if (--mouseBytesLeft_ <= 0) {
                keyState_ = KeyState::Ground;
            }
            return;
    }
}

void TelnetKeyDecoder::GroundByte(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    switch (byte) {
        case '+':
        case 'f':
            onKey(ViewerKey::Faster);
            return;
        case '-':
        case 's':
            onKey(ViewerKey::Slower);
            return;
        case '1':
            onKey(ViewerKey::NormalSpeed);
            return;
        case kIac:
            // An escaped data byte 255 has always been dropped rather than taken as a key.
            return;
        case kEsc:
            // Whether this is a key of its own or the start of a sequence shows only
            // with the next byte.
            keyState_ = KeyState::Escape;
            sequenceLength_ = 1;
            return;
        case kCr:
            keyState_ = KeyState::AfterCr;
            onKey(ViewerKey::NextFrame);
            return;
        default:
            onKey(ViewerKey::NextFrame);
            return;
    }
}

void TelnetKeyDecoder::EscapeByte(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    switch (byte) {
        case '[':
            StartSequence(KeyState::Csi);
            return;
        case 'O':
            StartSequence(KeyState::Ss3);
            return;
        case ']':
        case 'P':
            StartSequence(KeyState::String);
            return;
        default:
            // A lone ESC is one key, and the byte after it keeps its own meaning: a viewer
            // who presses Escape and then f gets a frame and a faster speed, as typed.
            keyState_ = KeyState::Ground;
            onKey(ViewerKey::NextFrame);
            GroundByte(byte, onKey);
            return;
    }
}

void TelnetKeyDecoder::CsiByte(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    ++sequenceLength_;
    const bool first = sequenceLength_ == 3;
    // The Linux console sends F1-F5 as ESC [ [ A-E; the second '[' is not the end.
    if (first && byte == '[') {
        csiPrefix_ = byte;
        return;
    }
    if (IsFinalByte(byte)) {
        keyState_ = KeyState::Ground;
        // A mouse report in the oldest encoding carries three raw bytes after ESC [ M,
        // which must not be read as keys.
        if (byte == 'M' && csiPrefix_ == 0 && csiIntermediate_ == 0 && !csiHasParameters_) {
            keyState_ = KeyState::MouseX10;
            mouseBytesLeft_ = 3;
            return;
        }
        if (!CsiIsTerminalReport(byte)) {
            onKey(ViewerKey::NextFrame);
        }
        return;
    }
    if (!IsParameterOrIntermediate(byte)) {
        AbandonSequence(byte, onKey);
        return;
    }
    if (SequenceOverlong(kMaxSequenceLength, onKey)) {
        return;
    }
    if (byte <= 0x2F) {
        csiIntermediate_ = byte;
    } else if (first && byte >= 0x3C) {
        csiPrefix_ = byte;
    } else {
        csiHasParameters_ = true;
    }
}

void TelnetKeyDecoder::Ss3Byte(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    ++sequenceLength_;
    if (IsFinalByte(byte)) {
        keyState_ = KeyState::Ground;
        onKey(ViewerKey::NextFrame);
        return;
    }
    // Some terminals put a modifier parameter between ESC O and the final byte.
    if (!IsParameterOrIntermediate(byte)) {
        AbandonSequence(byte, onKey);
        return;
    }
    SequenceOverlong(kMaxSequenceLength, onKey);
}

void TelnetKeyDecoder::StringByte(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    ++sequenceLength_;
    if (byte == kEsc) {
        keyState_ = KeyState::StringEsc;
        return;
    }
    if (byte == kBel) {
        // The end of an OSC or DCS string, which only a terminal sends: nothing to do.
        keyState_ = KeyState::Ground;
        return;
    }
    // Terminals' answers are printable text. A control key such as Enter means a person
    // typed ESC ] or ESC P by chance and is typing on, so the keys count again.
    if (byte < 0x20 || byte == 0x7F) {
        AbandonSequence(byte, onKey);
        return;
    }
    SequenceOverlong(kMaxStringLength, onKey);
}

void TelnetKeyDecoder::StringEscByte(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    if (byte == '\\') {
        keyState_ = KeyState::Ground;
        return;
    }
    // ESC ends the string as terminals do, and starts a sequence of its own.
    keyState_ = KeyState::Escape;
    sequenceLength_ = 1;
    EscapeByte(byte, onKey);
}

void TelnetKeyDecoder::StartSequence(KeyState state)
{
    keyState_ = state;
    sequenceLength_ = 2;
    csiPrefix_ = 0;
    csiIntermediate_ = 0;
    csiHasParameters_ = false;
}

void TelnetKeyDecoder::AbandonSequence(uchar byte, const std::function<void(ViewerKey)>& onKey)
{
    keyState_ = KeyState::Ground;
    onKey(ViewerKey::NextFrame);
    GroundByte(byte, onKey);
}

bool TelnetKeyDecoder::SequenceOverlong(int bound, const std::function<void(ViewerKey)>& onKey)
{
    if (sequenceLength_ < bound) {
        return false;
    }
    keyState_ = KeyState::Ground;
    onKey(ViewerKey::NextFrame);
    return true;
}

bool TelnetKeyDecoder::CsiIsTerminalReport(uchar finalByte) const
{
    switch (finalByte) {
        case 'R':  // cursor position report; Shift+F3 on some terminals looks the same
        case 'n':  // status reports
        case 't':  // window size and state reports
        case 'c':  // primary, secondary and tertiary device attributes
        case 'x':  // terminal parameters report
        case 'I':  // focus in
        case 'O':  // focus out
        case 'M':  // mouse reports in the SGR and decimal encodings
        case 'm':
            return true;
        case 'y':  // mode report, ESC [ ... $ y
            return csiIntermediate_ == '$';
        case 'u':  // keyboard protocol flags report, ESC [ ? flags u
            return csiPrefix_ == '?';
        default:
            return false;
    }
}
