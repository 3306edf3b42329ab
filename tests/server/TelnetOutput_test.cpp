// Telnet escaping in each of its forms against the simple way of doing it, and the block
// reuse that lets nearly every frame reach telnet viewers without a copy.
#include "server/TelnetOutput.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "playback/io.h"
#include "support/Ttyrec.h"

namespace {

// Escapes a body in a block of twice its length, in place.
QByteArray EscapeInBlock(const QByteArray& body)
{
    QByteArray block(body.size() * 2, '\0');
    std::copy(body.begin(), body.end(), block.begin());
    block.resize(EscapeTelnetIac(block.data(), body.size()));
    return block;
}

TEST(EscapeTelnetIac, DoublesEveryIacAndNothingElse)
{
    const QByteArray cases[] = {
        QByteArray(),
        QByteArray("plain text\r\n\0", 13),
        QByteArray("\xff"),
        QByteArray("abc\xff"),
        QByteArray("\xff\xff"),
        QByteArray("\xff"
                   "a\xff\xff"
                   "b\xfe\xff"),
        QByteArray(1000, '\xff'),
    };
    for (const QByteArray& body : cases) {
        const QByteArray expected = NaiveEscape(body);
        EXPECT_EQ(EscapeInBlock(body), expected) << body.toHex().toStdString();
        EXPECT_EQ(TelnetEscaped(body), expected) << body.toHex().toStdString();
        QByteArray grown = body;
        EscapeTelnetIac(grown);
        EXPECT_EQ(grown, expected) << body.toHex().toStdString();
    }
    EXPECT_EQ(EscapeInBlock(QByteArray(1000, '\xff')).size(), 2000);
}

TEST(EscapeTelnetIac, NoCopyWhereNoneIsNeeded)
{
    // A frame without 0xFF is the same block escaped.
    const QByteArray plain("plain text");
    EXPECT_EQ(TelnetEscaped(plain).constData(), plain.constData());
    // A block of its own with room escapes where it stands.
    QByteArray block;
    block.reserve(64);
    block.append(
        "ab\xff"
        "cd");
    const char* before = block.constData();
    EscapeTelnetIac(block);
    EXPECT_EQ(block, QByteArray("ab\xff\xff"
                                "cd"));
    EXPECT_EQ(block.constData(), before);
}

TEST(EscapeTelnetIac, LargestFrameOfIacIsLinear)
{
    // Sixteen MiB of 0xFF: one pass, not a move of the rest per byte (which would take
    // hours and time this test out).
    const QByteArray body(io::kMaxFrameLength, '\xff');
    const QByteArray escaped = EscapeInBlock(body);
    ASSERT_EQ(escaped.size(), qsizetype{2} * io::kMaxFrameLength);
    EXPECT_EQ(escaped.count('\xff'), escaped.size());
}

}  // namespace
