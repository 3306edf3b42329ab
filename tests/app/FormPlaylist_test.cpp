// A playlist in the window: the file panel names each entry with its place, and a
// recording handed over meanwhile plays at once before the list goes on.
#include <gtest/gtest.h>

#include <QFile>

#include "common/Texts.h"
#include "playback/ResetFirstSource.h"
#include "server/TelnetOutput.h"
#include "support/FormFixture.h"
#include "support/LoopbackClient.h"

namespace {

TEST(FormPlaylist, ThePanelNamesEachEntryAndAHandedOverRecordingPlaysInBetween)
{
    // Pauses of 1000 s: only the test moves the list from one recording to the next.
    FormFixture fixture([](FormFixture& f, FormOptions& options) {
        options.playlist = true;
        options.gap = 1000;
        for (const char* name : {"a", "b", "c"}) {
            const QByteArray body = QByteArray(name) + "0;";
            options.arguments.append(QFile::encodeName(f.WriteRecording(
                QLatin1String(name) + QStringLiteral(".ttyrec"), TtyrecBytes({{1, 0, body}}))));
        }
    });
    TFormOmbrix& form = fixture.Form();
    EXPECT_EQ(form.StatusText(1), QStringLiteral("a.ttyrec (1/3)"));
    LoopbackClient viewer;
    ASSERT_TRUE(fixture.Join(viewer));
    QByteArray expected = TelnetGreeting + "a0;";
    ASSERT_TRUE(viewer.WaitForBytes(expected.size(), 2000));
    EXPECT_EQ(form.StatusText(1), Texts::EndOfFile);

    // Handed over during the gap after a: played at once, under its own name.
    const QString handed =
        fixture.WriteRecording(QStringLiteral("x.ttyrec"), TtyrecBytes({{7, 0, "x0;"}}));
    EXPECT_EQ(form.WMCopyData(21089, QFile::encodeName(handed) + '\0'), 1);
    EXPECT_EQ(form.StatusText(1), QStringLiteral("x.ttyrec"));
    expected += "x0;";
    ASSERT_TRUE(viewer.WaitForBytes(expected.size(), 2000));

    // Its end is followed by the entry after the one that was playing, reset first.
    form.TimerTimer();
    EXPECT_EQ(form.StatusText(1), QStringLiteral("b.ttyrec (2/3)"));
    expected += kTerminalReset + "b0;";
    ASSERT_TRUE(viewer.WaitForBytes(expected.size(), 2000));
    EXPECT_EQ(viewer.Received(), expected);
}

}  // namespace
