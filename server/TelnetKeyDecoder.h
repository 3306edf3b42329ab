#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <functional>

// What a byte, or a run of bytes, typed in a viewer's client asks of the playback.
enum class ViewerKey
{
    Faster,
    Slower,
    NormalSpeed,
    NextFrame
};

// Turns the bytes a viewer sends into keys. One decoder per connection: its state
// survives the borders between reads.
//
// Two stages: the telnet layer removes commands and subnegotiations from the stream,
// and the key layer turns the data bytes that remain into keys, taking the telnet
// newline (CR LF, CR NUL) and each escape sequence as one unit and ignoring the
// answers that terminals send on their own. Nothing is buffered: the stages keep only
// their state and a few facts about the sequence in progress.
class TelnetKeyDecoder
{
public:
    // Longest escape sequence (ESC to final byte) taken as one unit; a longer one counts
    // as one key and decoding starts afresh after it.
    static constexpr int kMaxSequenceLength = 64;
    // Longest OSC or DCS string. Answers such as clipboard contents or capability lists
    // are far longer than a key sequence and their bodies are full of '1', 'f' and '+'.
    static constexpr int kMaxStringLength = 4096;
    // Longest telnet subnegotiation; past it the rest of the stream is data again.
    static constexpr int kMaxSubnegotiationLength = 4096;

    // What carries the keys: a telnet connection, whose stream holds commands as well,
    // or a channel of bare keys (a browser viewer), where 0xFF is data like any byte.
    enum class Stream
    {
        Telnet,
        Keys,
    };

    explicit TelnetKeyDecoder(Stream stream = Stream::Telnet) : telnet_(stream == Stream::Telnet) {}

    // Feeds bytes in order; calls onKey for each key as it is completed.
    void Feed(const char* data, qsizetype size, const std::function<void(ViewerKey)>& onKey);
    void Feed(const QByteArray& bytes, const std::function<void(ViewerKey)>& onKey);

    // True when the bytes so far end inside what may be an escape sequence (ESC, or a key
    // sequence after it) that only later bytes can finish. A terminal sends a key's
    // sequence whole, so when nothing follows soon the viewer pressed Esc itself.
    bool HoldsPossibleEscape() const;
    // Decodes what is held as keys: a lone ESC, or an unfinished key sequence, is one
    // next-frame key. Nothing happens when nothing is held.
    void FlushPossibleEscape(const std::function<void(ViewerKey)>& onKey);

private:
    enum class TelnetState
    {
        Data,
        Command,            // after IAC
        Option,             // after IAC WILL/WON'T/DO/DON'T
        Subnegotiation,     // after IAC SB
        SubnegotiationIac,  // after IAC inside a subnegotiation
    };
    enum class KeyState
    {
        Ground,
        AfterCr,    // a CR was taken as a key; LF or NUL after it belongs to it
        Escape,     // after ESC
        Csi,        // after ESC [
        Ss3,        // after ESC O
        String,     // after ESC ] or ESC P, up to its terminator
        StringEsc,  // after ESC inside a string
        MouseX10,   // after ESC [ M, three raw report bytes follow
    };

    // Telnet layer: returns true when the byte is data for the key layer.
    bool TelnetByte(uchar byte);
    void TelnetCommandByte(uchar byte);
    // Key layer.
    void KeyByte(uchar byte, const std::function<void(ViewerKey)>& onKey);
    void GroundByte(uchar byte, const std::function<void(ViewerKey)>& onKey);
    void EscapeByte(uchar byte, const std::function<void(ViewerKey)>& onKey);
    void CsiByte(uchar byte, const std::function<void(ViewerKey)>& onKey);
    void Ss3Byte(uchar byte, const std::function<void(ViewerKey)>& onKey);
    void StringByte(uchar byte, const std::function<void(ViewerKey)>& onKey);
    void StringEscByte(uchar byte, const std::function<void(ViewerKey)>& onKey);
    void StartSequence(KeyState state);
    // Ends an unfinished sequence as one key and decodes byte afresh.
    void AbandonSequence(uchar byte, const std::function<void(ViewerKey)>& onKey);
    // Counts one more byte of the sequence; true when it went past its bound, which has
    // then been reported as one key.
    bool SequenceOverlong(int bound, const std::function<void(ViewerKey)>& onKey);
    bool CsiIsTerminalReport(uchar finalByte) const;

    bool telnet_;
    TelnetState telnetState_ = TelnetState::Data;
    int subnegotiationLength_ = 0;

    KeyState keyState_ = KeyState::Ground;
    int sequenceLength_ = 0;
    // Facts about the CSI in progress that decide whether it is a key or a report.
    uchar csiPrefix_ = 0;        // '?', '>', '<' or '=' right after ESC [, else 0
    uchar csiIntermediate_ = 0;  // the last byte in 0x20-0x2F, else 0
    bool csiHasParameters_ = false;
    int mouseBytesLeft_ = 0;
};
