// The main form's own entry points: the start of serving, drops and hand-offs.
#include <gtest/gtest.h>

#include <QFile>
#include <QTest>
#include <vector>

#include "app/Headless.h"
#include "common/Texts.h"
#include "support/FormFixture.h"
#include "support/Loopback.h"

namespace {

// Collects the headless status lines instead of printing them; optionally acts on each.
struct CapturedLines
{
    explicit CapturedLines(std::function<void(const QByteArray&, const QByteArray&)> onLine = {})
    {
        Headless::SetWriter([this, onLine](const QByteArray& key, const QByteArray& text) {
            lines.push_back(key + ": " + text);
            if (onLine) {
                onLine(key, text);
            }
        });
    }
    ~CapturedLines() { Headless::SetWriter(nullptr); }
    std::vector<QByteArray> FileLines() const
    {
        std::vector<QByteArray> files;
        for (const QByteArray& line : lines) {
            if (line.startsWith("file: ")) {
                files.push_back(line.mid(6));
            }
        }
        return files;
    }
    std::vector<QByteArray> lines;
};

bool ConnectsTo(int port)
{
    return ConnectLoopback(port).Valid();
}

}  // namespace

TEST(UnitOmbrix, TheWaitingLineComesOnlyOnceTheViewerPortAcceptsConnections)
{
    int attempts = 0;
    int connected = 0;
    const CapturedLines captured([&](const QByteArray& key, const QByteArray& text) {
        const QByteArray suffix = Texts::WaitingSuffix.toUtf8();
        if (key == "connection" && text.endsWith(suffix)) {
            ++attempts;
            connected += ConnectsTo(text.chopped(suffix.size()).toInt()) ? 1 : 0;
        }
    });
    FormFixture fixture;
    ASSERT_TRUE(QTest::qWaitFor([&] { return attempts > 0; }, 2000));
    EXPECT_EQ(connected, attempts);
}

TEST(UnitOmbrix, DroppedFilesAreTriedInOrderUntilOneOpensAndTheLastFailureStays)
{
    FormFixture fixture;
    const QString good = fixture.WriteRecording(QStringLiteral("good.ttyrec"),
                                                TtyrecBytes({{1, 0, "a"}, {2, 0, "b"}}));
    const QString later =
        fixture.WriteRecording(QStringLiteral("later.ttyrec"), TtyrecBytes({{1, 0, "c"}}));
    const QString empty = fixture.WriteRecording(QStringLiteral("empty.ttyrec"), QByteArray());
    const QString missing = fixture.Dir().filePath(QStringLiteral("missing.ttyrec"));
    {
        const CapturedLines captured;
        fixture.Form().WMDropFiles({missing, good, later});
        QTest::qWait(1);  // lines held since the server opened come first
        EXPECT_EQ(captured.FileLines(),
                  (std::vector<QByteArray>{Texts::OpenFailed.toUtf8(), "good.ttyrec"}));
        EXPECT_EQ(fixture.Form().RecordingPath, QFile::encodeName(good));
        EXPECT_NE(fixture.Form().RecordingFile(), nullptr);
    }
    // None opens: the last name is kept, and its failure is what the panel shows.
    fixture.Form().WMDropFiles({good + u"/nowhere", missing, empty});
    EXPECT_EQ(fixture.Form().RecordingPath, QFile::encodeName(empty));
    EXPECT_EQ(fixture.Form().StatusText(1), Texts::EndOfFile);
    EXPECT_EQ(fixture.Form().RecordingFile(), nullptr);
}

TEST(UnitOmbrix, HandOffsWithAnotherTagAreIgnoredAndTheTextEndsAtItsNul)
{
    FormFixture fixture;
    const QString good = fixture.WriteRecording(QStringLiteral("handed.ttyrec"),
                                                TtyrecBytes({{1, 0, "a"}, {2, 0, "b"}}));
    const QByteArray path = QFile::encodeName(good);

    EXPECT_EQ(fixture.Form().WMCopyData(21090, path + '\0'), 0);
    EXPECT_TRUE(fixture.Form().RecordingPath.isEmpty());
    EXPECT_EQ(fixture.Form().RecordingFile(), nullptr);

    EXPECT_EQ(fixture.Form().WMCopyData(21089, path + QByteArray("\0/junk\0", 7)), 1);
    EXPECT_EQ(fixture.Form().RecordingPath, path);
    EXPECT_NE(fixture.Form().RecordingFile(), nullptr);

    // A file that does not open is still accepted: the answer is about the tag.
    EXPECT_EQ(fixture.Form().WMCopyData(21089, path + ".missing" + '\0'), 1);
    EXPECT_EQ(fixture.Form().StatusText(1), Texts::OpenFailed);
    EXPECT_EQ(fixture.Form().RecordingFile(), nullptr);
}
