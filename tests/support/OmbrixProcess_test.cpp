// The runner the end-to-end tests and the benchmarks start the program with, tried on a
// stand-in script: what it hands the program, and how it reads what comes back.
#include "support/OmbrixProcess.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "support/Ttyrec.h"

namespace {

// A script in place of the program; it ignores the arguments the runner always adds.
QString Script(const QTemporaryDir& dir, const QByteArray& body)
{
    const QString path = dir.filePath(QStringLiteral("stand-in"));
    EXPECT_TRUE(WriteFile(path, "#!/bin/sh\n" + body));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
    return path;
}

TEST(OmbrixProcess, HandsOverArgumentsAndItsOwnRuntimeFolderWithoutADisplay)
{
    QTemporaryDir dir;
    qputenv("DISPLAY", ":99");
    OmbrixLaunch launch;
    launch.program = Script(dir,
                            "echo \"args: $*\"\necho \"runtime: $XDG_RUNTIME_DIR\"\n"
                            "echo \"display: ${DISPLAY-none}\"\necho oops >&2\nexit 3\n");
    launch.arguments = {"--port", "\xe9t\xe9"};
    launch.errorLog = QStringLiteral("stderr.log");
    OmbrixProcess process(launch);
    qunsetenv("DISPLAY");
    EXPECT_EQ(process.WaitForExit(5000), 3);
    EXPECT_TRUE(process.HasLine(QByteArray("args: --headless --port \xe9t\xe9")));
    EXPECT_TRUE(process.HasLine(QByteArray("runtime: " + QFile::encodeName(process.RuntimeDir()))));
    EXPECT_FALSE(process.RuntimeDir().isEmpty());
    EXPECT_TRUE(process.HasLine("display: none"));
    // The log is in the runtime folder, which lives as long as the object.
    EXPECT_EQ(process.Errors(), QStringLiteral("oops\n"));
}

TEST(OmbrixProcess, LinesAreWholeAndALongOutputKeepsItsLatestWholeLines)
{
    QTemporaryDir dir;
    OmbrixLaunch launch;
    launch.program = Script(dir,
                            "i=0\nwhile [ $i -lt 3000 ]; do echo \"time: $i\"; i=$((i+1)); done\n"
                            "printf 'last: partial'\nexec sleep 5\n");
    launch.outputTail = 1000;
    OmbrixProcess process(launch);
    ASSERT_TRUE(process.WaitForLinePrefix("last:", 5000));
    EXPECT_TRUE(process.HasLinePrefix("last: part"));
    EXPECT_FALSE(process.HasLine("last: partial")) << "a line without its line break";
    EXPECT_FALSE(process.HasLine("time: 299"));  // only a line's beginning
    EXPECT_TRUE(process.HasLine("time: 2999"));
    EXPECT_FALSE(process.HasLine("time: 0")) << "the oldest lines are dropped";
    const QString kept = process.Output();
    EXPECT_LE(kept.size(), 2000);
    EXPECT_TRUE(kept.startsWith(QStringLiteral("time: "))) << "cut at a line break";
    EXPECT_TRUE(process.Alive());
    EXPECT_EQ(process.Stop(), -1) << "ended by SIGTERM";
    EXPECT_FALSE(process.Alive());
}

}  // namespace
