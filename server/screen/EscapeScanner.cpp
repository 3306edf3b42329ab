#include "server/screen/EscapeScanner.h"

#include "server/screen/VtermScreen.h"

namespace {

constexpr uchar kEsc = 0x1B;
constexpr uchar kBel = 0x07;
constexpr uchar kCan = 0x18;
constexpr uchar kSub = 0x1A;
constexpr uchar kDel = 0x7F;

bool IsStringIntroducer(uchar byte)
{
    return byte == ']' || byte == 'P' || byte == 'X' || byte == '^' || byte == '_';
}

// Parses the bytes of a whole CSI sequence (ESC [ ... final). False for one that
// breaks the grammar (a private marker after the first byte, a parameter after an
// intermediate, too many parameters), which terminals ignore.
bool ParseCsi(QByteArrayView raw, CsiSequence& csi, bool& tooMany)
{
    // The sequence is reused: its parameters past `count` are stale, and read by no one.
    csi.leader = 0;
    csi.count = 0;
    csi.intermediates = {};
    csi.raw = raw;
    csi.finalByte = raw.back();
    qsizetype i = 2;
    const qsizetype end = raw.size() - 1;
    if (i < end && raw[i] >= 0x3C && raw[i] <= 0x3F) {
        csi.leader = raw[i++];
    }
    bool digits = false;
    CsiSequence::Parameter current;
    auto close = [&](bool sub) {
        if (csi.count == CsiSequence::kMaxParameters) {
            tooMany = true;
            return false;
        }
        current.followedBySub = sub;
        csi.parameters[csi.count++] = current;
        current = {};
        digits = false;
        return true;
    };
    for (; i < end && raw[i] >= 0x30 && raw[i] <= 0x3F; ++i) {
        const char c = raw[i];
        if (c >= '0' && c <= '9') {
            const int value = digits ? current.value : 0;
            current.value = qMin(value * 10 + (c - '0'), CsiSequence::kMaxValue);
            digits = true;
        } else if (c == ';' || c == ':') {
            if (!close(c == ':')) {
                return false;
            }
        } else {
            return false;  // a private marker past the first byte
        }
    }
    // The last parameter counts when anything at all was written for the parameters.
    if ((digits || csi.count > 0) && !close(false)) {
        return false;
    }
    const qsizetype interStart = i;
    for (; i < end; ++i) {
        if (raw[i] < 0x20 || raw[i] > 0x2F) {
            return false;  // a parameter byte after an intermediate
        }
    }
    csi.intermediates = raw.sliced(interStart, end - interStart);
    return true;
}

}  // namespace

void EscapeScanner::Feed(QByteArrayView bytes, Events& events)
{
    const char* data = bytes.data();
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        if (state_ == State::Ground) {
            i += Ground(data + i, size - i, events);
            continue;
        }
        const auto byte = static_cast<uchar>(data[i]);
        switch (state_) {
            case State::Escape:
                i += EscapeByte(byte, events);
                break;
            case State::Csi:
                i += CsiRun(data + i, size - i);
                if (i < size) {
                    i += CsiByte(static_cast<uchar>(data[i]), events);
                }
                break;
            case State::CsiSkip:
                i += CsiSkipByte(byte, events);
                break;
            case State::String:
                i += StringByte(byte, events);
                break;
            case State::Ground:
                break;
        }
    }
}

void EscapeScanner::Reset()
{
    *this = EscapeScanner();
}

QByteArray EscapeScanner::Pending() const
{
    switch (state_) {
        case State::Ground:
            return utf8Bytes_;
        case State::Escape:
        case State::Csi:
        case State::CsiSkip:
            return sequence_.View().toByteArray();
        case State::String: {
            QByteArray bytes;
            bytes.reserve(stringBody_.size() + 3);
            bytes += static_cast<char>(kEsc);
            bytes += stringIntroducer_;
            bytes += stringBody_;
            if (stringAfterEsc_) {
                bytes += static_cast<char>(kEsc);
            }
            return bytes;
        }
    }
    return {};
}

qsizetype EscapeScanner::Ground(const char* data, qsizetype size, Events& events)
{
    qsizetype i = 0;
    qsizetype runStart = 0;
    auto flush = [&] {
        if (i > runStart) {
            events.OnText(data + runStart, i - runStart);
        }
        runStart = i;
    };
    while (i < size) {
        const auto byte = static_cast<uchar>(data[i]);
        if (utf8Needed_ > 0) {
            if (byte >= utf8Low_ && byte <= utf8High_) {
                utf8Code_ = (utf8Code_ << 6) | (byte & 0x3F);
                utf8Bytes_ += static_cast<char>(byte);
                utf8Low_ = 0x80;
                utf8High_ = 0xBF;
                ++i;
                if (--utf8Needed_ == 0) {
                    if (utf8Code_ <= 0x9F) {
                        // Terminals disagree on these: some run them as controls.
                        flush();
                        events.OnMalformed(Malformed::C1InUtf8, utf8Bytes_);
                    } else if (!textSinceBreak_ && CharacterWidth(utf8Code_) == 0) {
                        flush();
                        events.OnMalformed(Malformed::LoneCombining, utf8Bytes_);
                    }
                    textSinceBreak_ = true;
                    utf8Bytes_.clear();
                }
                continue;
            }
            // The character was cut short: what came of it is invalid, and this byte
            // starts afresh.
            flush();
            events.OnMalformed(Malformed::InvalidUtf8, utf8Bytes_);
            utf8Needed_ = 0;
            utf8Bytes_.clear();
            continue;
        }
        if (byte >= 0x20 && byte < kDel) {
            textSinceBreak_ = true;
            ++i;
            continue;
        }
        if (byte >= 0x80) {
            // Lead bytes, with the range each allows for the byte after it so that
            // overlong forms, surrogates and code points past U+10FFFF are refused.
            utf8Low_ = 0x80;
            utf8High_ = 0xBF;
            if (byte >= 0xC2 && byte <= 0xDF) {
                utf8Needed_ = 1;
            } else if (byte >= 0xE0 && byte <= 0xEF) {
                utf8Needed_ = 2;
                utf8Low_ = byte == 0xE0 ? 0xA0 : 0x80;
                utf8High_ = byte == 0xED ? 0x9F : 0xBF;
            } else if (byte >= 0xF0 && byte <= 0xF4) {
                utf8Needed_ = 3;
                utf8Low_ = byte == 0xF0 ? 0x90 : 0x80;
                utf8High_ = byte == 0xF4 ? 0x8F : 0xBF;
            } else {
                ++i;
                flush();
                events.OnMalformed(Malformed::InvalidUtf8, QByteArrayView(data + i - 1, 1));
                continue;
            }
            utf8Code_ = byte & (0x3F >> utf8Needed_);
            utf8Bytes_ = QByteArray(1, static_cast<char>(byte));
            ++i;
            continue;
        }
        flush();
        ++i;
        runStart = i;
        textSinceBreak_ = false;
        if (byte == kEsc) {
            StartEscape();
            return i;
        }
        if (byte != kCan && byte != kSub && byte != kDel) {
            events.OnControl(byte);
        }
    }
    flush();
    return size;
}

bool EscapeScanner::SequenceCommonByte(uchar byte, Events& events, qsizetype& consumed)
{
    consumed = 1;
    if (byte == kEsc) {
        StartEscape();
    } else if (byte == kCan || byte == kSub) {
        state_ = State::Ground;
        sequence_.clear();
    } else if (byte < 0x20) {
        textSinceBreak_ = false;
        events.OnControl(byte);
    } else if (byte == kDel) {
        // Ignored inside sequences.
    } else if (byte >= 0x80) {
        events.OnMalformed(Malformed::NonAsciiSequence, sequence_.View());
        state_ = State::Ground;
        sequence_.clear();
        consumed = 0;
    } else {
        return false;
    }
    return true;
}

void EscapeScanner::StartEscape()
{
    textSinceBreak_ = false;
    sequence_.clear();
    sequence_.Add(static_cast<char>(kEsc));
    state_ = State::Escape;
}

qsizetype EscapeScanner::EscapeByte(uchar byte, Events& events)
{
    qsizetype consumed = 0;
    if (SequenceCommonByte(byte, events, consumed)) {
        return consumed;
    }
    if (sequence_.size() >= kMaxSequence) {
        events.OnMalformed(Malformed::LongSequence, sequence_.View());
        state_ = State::CsiSkip;
        return 0;
    }
    sequence_.Add(static_cast<char>(byte));
    if (byte <= 0x2F) {
        return 1;  // an intermediate byte
    }
    const bool plain = sequence_.size() == 2;
    if (plain && byte == '[') {
        state_ = State::Csi;
        return 1;
    }
    if (plain && IsStringIntroducer(byte)) {
        state_ = State::String;
        stringIntroducer_ = static_cast<char>(byte);
        stringBody_.clear();
        stringTruncated_ = false;
        stringAfterEsc_ = false;
        sequence_.clear();
        return 1;
    }
    EscapeSequence escape;
    escape.raw = sequence_.View();
    escape.intermediates = sequence_.View().sliced(1, sequence_.size() - 2);
    escape.finalByte = static_cast<char>(byte);
    state_ = State::Ground;
    events.OnEscape(escape);
    sequence_.clear();
    return 1;
}

qsizetype EscapeScanner::CsiByte(uchar byte, Events& events)
{
    qsizetype consumed = 0;
    if (SequenceCommonByte(byte, events, consumed)) {
        return consumed;
    }
    if (sequence_.size() >= kMaxSequence) {
        events.OnMalformed(Malformed::LongSequence, sequence_.View());
        state_ = State::CsiSkip;
        return 0;
    }
    sequence_.Add(static_cast<char>(byte));
    if (byte >= 0x40) {
        DispatchCsi(events);
    }
    return 1;
}

qsizetype EscapeScanner::CsiRun(const char* data, qsizetype size)
{
    // Parameter and intermediate bytes only lengthen the sequence (CsiByte does the
    // same one at a time): most of a sequence's bytes are taken here without a call each.
    const qsizetype room = kMaxSequence - sequence_.size();
    const qsizetype limit = qMin(size, room);
    qsizetype i = 0;
    while (i < limit) {
        const auto byte = static_cast<uchar>(data[i]);
        if (byte < 0x20 || byte > 0x3F) {
            break;
        }
        sequence_.Add(static_cast<char>(byte));
        ++i;
    }
    return i;
}

qsizetype EscapeScanner::CsiSkipByte(uchar byte, Events& events)
{
    qsizetype consumed = 0;
    if (SequenceCommonByte(byte, events, consumed)) {
        return consumed;
    }
    if (byte >= 0x40) {
        state_ = State::Ground;
        sequence_.clear();
    }
    return 1;
}

void EscapeScanner::DispatchCsi(Events& events)
{
    state_ = State::Ground;
    bool tooMany = false;
    if (ParseCsi(sequence_.View(), csi_, tooMany)) {
        events.OnCsi(csi_);
    } else if (tooMany) {
        events.OnMalformed(Malformed::LongSequence, sequence_.View());
    }
    sequence_.clear();
}

qsizetype EscapeScanner::StringByte(uchar byte, Events& events)
{
    if (stringAfterEsc_) {
        // ESC ends the string whatever follows; ESC \ is its proper terminator, and
        // anything else starts a new sequence.
        stringAfterEsc_ = false;
        EndString(events);
        if (byte == '\\') {
            return 1;
        }
        StartEscape();
        return 0;
    }
    if (byte == kEsc) {
        stringAfterEsc_ = true;
    } else if (byte == kBel && stringIntroducer_ == ']') {
        EndString(events);
    } else if (byte == kCan || byte == kSub) {
        state_ = State::Ground;
        stringBody_.clear();
    } else if (byte >= 0x20) {
        if (stringBody_.size() < kMaxStringKept) {
            stringBody_ += static_cast<char>(byte);
        } else {
            stringTruncated_ = true;
        }
    }
    return 1;
}

void EscapeScanner::EndString(Events& events)
{
    state_ = State::Ground;
    events.OnString(stringIntroducer_, stringBody_, stringTruncated_);
    stringBody_.clear();
}

QByteArray DescribeSequence(QByteArrayView raw)
{
    constexpr qsizetype kMaxShown = 40;
    QByteArray text;
    for (qsizetype i = 0; i < raw.size() && i < kMaxShown; ++i) {
        const auto byte = static_cast<uchar>(raw[i]);
        if (byte == kEsc) {
            text += i + 1 < raw.size() ? "ESC " : "ESC";
        } else if (byte < 0x20 || byte == kDel) {
            text += "0x";
            text += QByteArray::number(byte, 16).rightJustified(2, '0');
            if (i + 1 < raw.size()) {
                text += ' ';
            }
        } else if (byte >= 0x80) {
            text += "0x";
            text += QByteArray::number(byte, 16).toUpper();
            if (i + 1 < raw.size()) {
                text += ' ';
            }
        } else {
            text += static_cast<char>(byte);
        }
    }
    if (raw.size() > kMaxShown) {
        text += "...";
    }
    return text;
}
