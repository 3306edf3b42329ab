#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <array>

#include "server/screen/ControlSequence.h"

// Splits a terminal's output stream into text, control characters, escape and control
// sequences and strings, the way a VT500-family terminal parses it: C0 controls inside
// a sequence are executed without ending it, CAN and SUB cancel it, ESC starts a new
// one. Text is checked as UTF-8 on the way.
//
// An I/O-free state machine: its state survives the borders between Feed calls, and
// what an unfinished sequence holds stays bounded (kMaxSequence, kMaxStringKept).
class EscapeScanner
{
public:
    // Longest escape or control sequence kept whole; a longer one is reported malformed
    // and skipped up to its final byte.
    static constexpr qsizetype kMaxSequence = 256;
    // How much of a string (OSC, DCS, ...) is kept; the rest is counted, not kept.
    static constexpr qsizetype kMaxStringKept = 1024;

    enum class Malformed
    {
        InvalidUtf8,       // bytes that are no UTF-8 character, or a character cut short
        C1InUtf8,          // a C1 control (U+0080-U+009F) written as UTF-8
        LongSequence,      // a sequence past kMaxSequence
        NonAsciiSequence,  // a byte above 0x7F inside an escape or control sequence
        LoneCombining,     // a combining character that follows no character: terminals
                           // join it to different cells, or to none
    };

    // What the scanner finds, in stream order.
    class Events
    {
    public:
        virtual ~Events() = default;
        // Printable text: ASCII and UTF-8, which may end inside a character that the
        // next Feed completes. Invalid UTF-8 is passed on too, after OnMalformed.
        virtual void OnText(const char* bytes, qsizetype size) = 0;
        // A C0 control (below 0x20) outside a string, ESC, CAN and SUB excepted.
        virtual void OnControl(uchar byte) = 0;
        virtual void OnEscape(const EscapeSequence& sequence) = 0;
        virtual void OnCsi(const CsiSequence& sequence) = 0;
        // A string: introducer is ']' (OSC), 'P' (DCS), 'X' (SOS), '^' (PM) or '_' (APC);
        // body is at most kMaxStringKept bytes of it, truncated says more came.
        virtual void OnString(char introducer, QByteArrayView body, bool truncated) = 0;
        virtual void OnMalformed(Malformed kind, QByteArrayView bytes) = 0;
    };

    void Feed(QByteArrayView bytes, Events& events);
    // Back to the ground state, nothing held.
    void Reset();

    // The bytes of what is unfinished at the end of the stream so far: the start of a
    // UTF-8 character, of a sequence, or of a string (its kept part). Written to a
    // terminal, they leave its parser where this scanner's stands.
    QByteArray Pending() const;

private:
    enum class State
    {
        Ground,
        Escape,   // after ESC, with any intermediate bytes
        Csi,      // after ESC [
        CsiSkip,  // inside a sequence past its bound, up to its final byte
        String,   // inside OSC, DCS, SOS, PM or APC
    };

    // Each returns how many bytes it consumed (0: reprocess the byte in the new state).
    qsizetype Ground(const char* data, qsizetype size, Events& events);
    qsizetype EscapeByte(uchar byte, Events& events);
    qsizetype CsiByte(uchar byte, Events& events);
    // Takes the run of parameter and intermediate bytes at `data` that fits the held
    // sequence; returns how many it took.
    qsizetype CsiRun(const char* data, qsizetype size);
    qsizetype CsiSkipByte(uchar byte, Events& events);
    qsizetype StringByte(uchar byte, Events& events);
    // Handles a byte that every sequence state treats alike (C0, ESC, CAN, SUB, DEL,
    // bytes above 0x7F); returns false for the others.
    bool SequenceCommonByte(uchar byte, Events& events, qsizetype& consumed);
    void StartEscape();
    void DispatchCsi(Events& events);
    void EndString(Events& events);

    // The sequence in progress, from ESC: a buffer of fixed size, as every byte of a
    // sequence goes through it.
    class HeldSequence
    {
    public:
        void clear() { size_ = 0; }
        qsizetype size() const { return size_; }
        void Add(char byte) { bytes_[static_cast<size_t>(size_++)] = byte; }
        QByteArrayView View() const { return QByteArrayView(bytes_.data(), size_); }

    private:
        std::array<char, kMaxSequence> bytes_;
        qsizetype size_ = 0;
    };

    State state_ = State::Ground;
    HeldSequence sequence_;
    // The last sequence parsed, kept so that each does not clear its parameters anew.
    CsiSequence csi_;
    // UTF-8 character in progress: continuation bytes still needed, the allowed range of
    // the next one, the code point so far and its bytes so far.
    int utf8Needed_ = 0;
    uchar utf8Low_ = 0x80;
    uchar utf8High_ = 0xBF;
    char32_t utf8Code_ = 0;
    QByteArray utf8Bytes_;
    // String in progress.
    char stringIntroducer_ = 0;
    QByteArray stringBody_;
    bool stringTruncated_ = false;
    bool stringAfterEsc_ = false;
    // Text came since the last control or sequence: a combining character joins it.
    bool textSinceBreak_ = false;
};
