// The key decoder, table by table: every case is fed whole, split in two at every byte
// border and byte by byte, and must give the same keys each way, because TCP keeps no
// promise about where one read ends.
#include <gtest/gtest.h>

#include <QByteArray>
#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "server/TelnetKeyDecoder.h"

namespace {

// Keys written as letters so the table reads at a glance: F faster, S slower,
// N normal speed, X next frame.
char Letter(ViewerKey key)
{
    switch (key) {
        case ViewerKey::Faster:
            return 'F';
        case ViewerKey::Slower:
            return 'S';
        case ViewerKey::NormalSpeed:
            return 'N';
        case ViewerKey::NextFrame:
            return 'X';
    }
    return '?';
}

std::string Decode(const std::vector<QByteArray>& reads)
{
    TelnetKeyDecoder decoder;
    std::string keys;
    for (const QByteArray& read : reads) {
        decoder.Feed(read, [&keys](ViewerKey key) { keys += Letter(key); });
    }
    return keys;
}

// Decodes the bytes whole, then checks that every two-read split and a byte-by-byte
// feed agree with it; returns the keys of the whole feed.
std::string DecodeEveryWay(const QByteArray& bytes)
{
    const std::string whole = Decode({bytes});
    for (qsizetype at = 1; at < bytes.size(); ++at) {
        EXPECT_EQ(Decode({bytes.left(at), bytes.mid(at)}), whole) << "split at " << at;
    }
    std::vector<QByteArray> single;
    for (const char byte : bytes) {
        single.emplace_back(1, byte);
    }
    EXPECT_EQ(Decode(single), whole) << "byte by byte";
    return whole;
}

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (const int value : values) {
        bytes.append(static_cast<char>(value));
    }
    return bytes;
}

// Joins byte strings and literals; the string builder has no + between the two.
template <typename... Parts>
QByteArray Cat(const Parts&... parts)
{
    QByteArray bytes;
    (bytes.append(parts), ...);
    return bytes;
}

const QByteArray kIac = Bytes({0xFF});
const char* const kEsc = "\x1b";

struct DecodeCase
{
    const char* name;
    QByteArray input;
    std::string keys;
};

void PrintTo(const DecodeCase& c, std::ostream* os)
{
    *os << c.name;
}

class TelnetKeyDecoderTable : public ::testing::TestWithParam<DecodeCase>
{
};

TEST_P(TelnetKeyDecoderTable, GivesTheSameKeysWholeAndSplit)
{
    EXPECT_EQ(DecodeEveryWay(GetParam().input), GetParam().keys);
}

const DecodeCase kKeyCases[] = {
    {"speed keys", "+f-s1", "FFSSN"},
    {"ff gives two faster", "ff", "FF"},
    {"upper case, other digits, space and controls are frame keys", Cat("FS20 \t\x7f", Bytes({0})),
     "XXXXXXXX"},
    {"bytes 0x80 to 0xFE are frame keys, one each", Bytes({0x80, 0x9B, 0xC3, 0xA9, 0xFE}), "XXXXX"},
};
INSTANTIATE_TEST_SUITE_P(Keys, TelnetKeyDecoderTable, ::testing::ValuesIn(kKeyCases));

const DecodeCase kTelnetCases[] = {
    {"Debian telnet's answer to the greeting",
     Bytes({0xFF, 0xFD, 0x01, 0xFF, 0xFD, 0x03, 0xFF, 0xFC, 0xF3}), ""},
    {"WILL NAWS, WILL TTYPE, WILL TSPEED, WILL NEW-ENVIRON, DO SGA, WILL SGA",
     Bytes({0xFF, 0xFB, 0x1F, 0xFF, 0xFB, 0x18, 0xFF, 0xFB, 0x20, 0xFF, 0xFB, 0x27, 0xFF, 0xFD,
            0x03, 0xFF, 0xFB, 0x03}),
     ""},
    {"window size subnegotiation", Bytes({0xFF, 0xFA, 0x1F, 0, 80, 0, 24, 0xFF, 0xF0}), ""},
    {"terminal type subnegotiation",
     Cat(Bytes({0xFF, 0xFA, 0x18, 0x00}), "xterm", Bytes({0xFF, 0xF0})), ""},
    {"environment subnegotiation full of key letters",
     Cat(Bytes({0xFF, 0xFA, 0x27, 0x00, 0x00}), "USER", Bytes({0x01}), "fs+-1",
         Bytes({0xFF, 0xF0})),
     ""},
    {"IAC IAC inside a subnegotiation does not end it",
     Cat(Bytes({0xFF, 0xFA, 0x18, 0x00, 'a', 0xFF, 0xFF, 'f', 0xFF, 0xF0}), "s"), "S"},
    {"SE without IAC inside a subnegotiation does not end it",
     Cat(Bytes({0xFF, 0xFA, 0x18, 0xF0, 'f', 0xFF, 0xF0}), "s"), "S"},
    {"another command ends an unclosed subnegotiation",
     Cat(Bytes({0xFF, 0xFA, 0x1F, 0, 80, 0xFF, 0xFD, 0x01}), "f"), "F"},
    {"keys between commands", Bytes({0xFF, 0xFD, 0x01, '+', 0xFF, 0xFC, 0xF3, 's'}), "FS"},
    {"IAC IAC is dropped", Cat(kIac, kIac), ""},
    {"IAC before a key byte skips both", Cat(kIac, "f", "1"), "N"},
    {"commands without an option", Cat(Bytes({0xFF, 0xF1, 0xFF, 0xF9, 0xFF, 0xF4}), "-"), "S"},
};
INSTANTIATE_TEST_SUITE_P(Telnet, TelnetKeyDecoderTable, ::testing::ValuesIn(kTelnetCases));

const DecodeCase kNewlineCases[] = {
    {"CR LF is one key", "\r\n", "X"},
    {"CR NUL is one key", Bytes({'\r', 0}), "X"},
    {"lone CR and lone LF are one key each", "\r+\n", "XFX"},
    {"CR CR LF is two keys", "\r\r\n", "XX"},
    {"LF CR is two keys", "\n\r", "XX"},
    {"a telnet command between CR and LF", Bytes({'\r', 0xFF, 0xF1, '\n'}), "X"},
};
INSTANTIATE_TEST_SUITE_P(Newline, TelnetKeyDecoderTable, ::testing::ValuesIn(kNewlineCases));

const DecodeCase kTerminalReportCases[] = {
    {"cursor position report", Cat(kEsc, "[1;1R"), ""},
    {"primary device attributes", Cat(kEsc, "[?1;2c"), ""},
    {"secondary device attributes", Cat(kEsc, "[>41;367;0c"), ""},
    {"status report", Cat(kEsc, "[0n"), ""},
    {"window report", Cat(kEsc, "[8;24;80t"), ""},
    {"mode report", Cat(kEsc, "[?2004;2$y"), ""},
    {"focus in and out", Cat(kEsc, "[I", kEsc, "[O"), ""},
    {"colour answer ended by ST", Cat(kEsc, "]11;rgb:0000/0000/0000", kEsc, "\\"), ""},
    {"title answer ended by BEL", Cat(kEsc, "]l1 fast+", Bytes({0x07})), ""},
    {"capability answer in hex", Cat(kEsc, "P1+r544e=787465726d", kEsc, "\\"), ""},
    {"mouse click, oldest encoding", Cat(kEsc, "[M +1"), ""},
    {"mouse click, SGR encoding", Cat(kEsc, "[<0;10;5M", kEsc, "[<0;10;5m"), ""},
    {"a report with a telnet command inside", Cat(kEsc, "[1;", Bytes({0xFF, 0xFD, 0x01}), "1R"),
     ""},
    {"keys around a report", Cat("f", kEsc, "[12;40R", "s"), "FS"},
};
INSTANTIATE_TEST_SUITE_P(TerminalReports, TelnetKeyDecoderTable,
                         ::testing::ValuesIn(kTerminalReportCases));

const DecodeCase kEscapeKeyCases[] = {
    {"arrow keys", Cat(kEsc, "[A", kEsc, "OB"), "XX"},
    {"Ctrl+Right", Cat(kEsc, "[1;5C"), "X"},
    {"F5", Cat(kEsc, "[15~"), "X"},
    {"F1 on the Linux console", Cat(kEsc, "[[A"), "X"},
    {"Shift+F1 on old terminals", Cat(kEsc, "O2P"), "X"},
    {"lone ESC, then a key with its own meaning", Cat(kEsc, "f"), "XF"},
    {"ESC ESC [ A", Cat(kEsc, kEsc, "[A"), "XX"},
    {"ESC then Enter", Cat(kEsc, "\r\n"), "XX"},
    {"ESC then IAC IAC", Cat(kEsc, kIac, kIac), "X"},
    {"sequence cut by Enter", Cat(kEsc, "[1\r\n"), "XX"},
    {"string cut by Enter", Cat(kEsc, "]ab\r\n"), "XX"},
    {"string cut by a new sequence", Cat(kEsc, "]11;rgb", kEsc, "[A"), "X"},
    {"a telnet command inside an arrow key", Cat(kEsc, Bytes({0xFF, 0xF1}), "[A"), "X"},
    {"sequence of the longest length is one key",
     Cat(kEsc, "[", QByteArray(TelnetKeyDecoder::kMaxSequenceLength - 3, ';'), "A"), "X"},
    {"overlong sequence is one key and decoding starts afresh",
     Cat(kEsc, "[", QByteArray(TelnetKeyDecoder::kMaxSequenceLength - 2, ';'), "f"), "XF"},
    {"overlong mode report is bounded the same way",
     Cat(kEsc, "[?", QByteArray(TelnetKeyDecoder::kMaxSequenceLength - 3, '1'), "c"), "XX"},
};
INSTANTIATE_TEST_SUITE_P(EscapeKeys, TelnetKeyDecoderTable, ::testing::ValuesIn(kEscapeKeyCases));

TEST(TelnetKeyDecoder, LongAnswersAreSkippedUpToTheirBound)
{
    // A clipboard answer much longer than a key sequence, whose base64 body is full of
    // key letters, changes nothing.
    QByteArray clipboard;
    for (int i = 0; i < 100; ++i) {
        clipboard += "f1+s/-==";
    }
    EXPECT_EQ(Decode({Cat(kEsc, "]52;c;", clipboard, kEsc, "\\", "f")}), "F");

    // A string that never ends lets the viewer's keys through again after its bound.
    const QByteArray endless = Cat(kEsc, "]", QByteArray(TelnetKeyDecoder::kMaxStringLength, 'x'));
    EXPECT_EQ(Decode({endless, "f"}).back(), 'F');
    EXPECT_EQ(Decode({endless.left(TelnetKeyDecoder::kMaxStringLength - 1), "\x07", "f"}), "F");
}

TEST(TelnetKeyDecoder, EndlessSubnegotiationIsBounded)
{
    const QByteArray start = Bytes({0xFF, 0xFA, 0x18});
    const QByteArray body(TelnetKeyDecoder::kMaxSubnegotiationLength - 1, 'f');
    EXPECT_EQ(Decode({start, body, Bytes({0xFF, 0xF0}), "s"}), "S");

    const std::string keys = Decode({start, body, body, "s"});
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.back(), 'S');
    // At least the first bound's worth of bytes was swallowed.
    EXPECT_LE(keys.size(), static_cast<size_t>(body.size()));
}

// Random streams rich in the bytes that change state, split at random places, decode as
// they do whole.
TEST(TelnetKeyDecoder, RandomStreamsDecodeAlikeWholeAndSplit)
{
    const int interesting[] = {0xFF, 0xFA, 0xF0, 0xFB, 0xFD, 0x1B, '[', 'O', ']', 'P', '\\',
                               0x07, '\r', '\n', 0,    'f',  '1',  ';', 'R', 'c', 'M', '?'};
    std::mt19937 random(20240607);
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes;
        const int length = static_cast<int>(random() % 300);
        for (int i = 0; i < length; ++i) {
            const bool special = random() % 3 != 0;
            const auto value = special ? interesting[random() % std::size(interesting)]
                                       : static_cast<int>(random() % 256);
            bytes.append(static_cast<char>(value));
        }
        std::vector<QByteArray> reads;
        for (qsizetype at = 0; at < bytes.size();) {
            const qsizetype size = std::min<qsizetype>(1 + random() % 16, bytes.size() - at);
            reads.push_back(bytes.mid(at, size));
            at += size;
        }
        ASSERT_EQ(Decode(reads), Decode({bytes}))
            << "round " << round << ": " << bytes.toHex(' ').toStdString();
    }
}

}  // namespace

TEST(TelnetKeyDecoder, AHeldEscapeIsFlushedAsOneKeyAndWholeSequencesHoldNothing)
{
    TelnetKeyDecoder decoder;
    std::string keys;
    const auto onKey = [&keys](ViewerKey key) { keys += Letter(key); };
    const auto feed = [&](const QByteArray& bytes) {
        decoder.Feed(bytes, onKey);
        return decoder.HoldsPossibleEscape();
    };

    EXPECT_TRUE(feed(kEsc));  // the Esc key, or the first byte of a sequence
    decoder.FlushPossibleEscape(onKey);
    EXPECT_FALSE(decoder.HoldsPossibleEscape());
    EXPECT_FALSE(feed("f"));  // a key of its own again, not the end of a sequence
    EXPECT_EQ(keys, "XF");

    keys.clear();
    EXPECT_TRUE(feed(Cat(kEsc, "[1;")));
    decoder.FlushPossibleEscape(onKey);
    EXPECT_FALSE(feed("A"));
    EXPECT_EQ(keys, "XX");

    keys.clear();
    EXPECT_FALSE(feed(Cat(kEsc, "[A", kEsc, "OB", "s")));
    EXPECT_FALSE(feed(Cat(kEsc, "]11;rgb:00")));  // a terminal's answer keeps waiting
    decoder.FlushPossibleEscape(onKey);
    EXPECT_FALSE(feed(Cat("/00", kEsc, "\\")));
    EXPECT_EQ(keys, "XXS");
}
