// The JSON scanner that reads asciicast v1 files a value at a time: values cut by its read
// blocks at every place.
#include "playback/JsonScanner.h"

#include <gtest/gtest.h>

#include "support/Ttyrec.h"

namespace {

TEST(JsonScanner, ValuesCutByReadBlocksAtEveryPlaceComeWhole)
{
    RecordingFolder folder;
    // A string ending in an escaped backslash and quote, then an escaped backslash: the
    // quotes are escaped or not by the parity of the backslashes before them.
    const QByteArray ending = R"(\\\"\\")";
    for (int shift = 0; shift <= ending.size(); ++shift) {
        SCOPED_TRACE(shift);
        // The first read block ends `shift` bytes before the string's last byte.
        const QByteArray filler(64 * 1024 - 2 - ending.size() + shift, 'a');
        const QByteArray array = "[\"" + filler + ending + R"(, {"k": [1, "]}"]}, -2.5e3])";
        const QString path = folder.WriteNew(QStringLiteral(".json"), array + " \n\t 17 ");
        const UniqueFd fd = OpenForReading(path);
        JsonScanner scanner(fd.Get(), 0);
        QByteArray value;
        ASSERT_EQ(scanner.ReadValue(&value, 1 << 20), JsonScanner::Status::Ok);
        EXPECT_EQ(value, array);
        EXPECT_EQ(scanner.ReadValue(&value, 1 << 20), JsonScanner::Status::Ok);
        EXPECT_EQ(value, "17");
        EXPECT_EQ(scanner.PeekAfterSpace(), -1);
        EXPECT_FALSE(scanner.Failed());
    }
}

}  // namespace
