// scripts/demo and the package lists it shares with scripts/test.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "support/OmbrixProcess.h"

namespace {

struct ScriptRun
{
    int status = -1;
    QString output;
    QString errors;
};

// Runs a bash command line in the source folder with extra environment.
ScriptRun Bash(const QString& command, const QProcessEnvironment& extra = {}, int timeoutMs = 60000)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QStringLiteral(OMBRIX_SOURCE_DIR));
    process.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
    ScriptRun run;
    if (process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit) {
        run.status = process.exitCode();
    } else {
        process.kill();
        process.waitForFinished();
    }
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QProcessEnvironment DemoEnvironment(const QString& runtimeDir)
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("OMBRIX_DEMO_PROGRAM"), QStringLiteral(OMBRIX_BINARY));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    return environment;
}

}  // namespace

TEST(Scripts, TheDemoInstallsAndBuildsOnlyWhatTheProgramNeeds)
{
    const ScriptRun packages =
        Bash(QStringLiteral("source scripts/lib.sh; echo \"${OMBRIX_PACKAGES[*]}\""));
    ASSERT_EQ(packages.status, 0) << packages.errors.toStdString();
    const QStringList demo = packages.output.trimmed().split(u' ');
    EXPECT_TRUE(demo.contains(QStringLiteral("qt6-base-dev")));
    for (const char* testOnly : {"libgtest-dev", "clang", "libclang-rt-14-dev", "xvfb", "tmux"}) {
        EXPECT_FALSE(demo.contains(QLatin1String(testOnly))) << testOnly;
    }

    // The program configures without GoogleTest when the tests are off.
    QTemporaryDir build;
    const ScriptRun configure = Bash(QStringLiteral("cmake -S . -B '%1' -DOMBRIX_TESTS=OFF "
                                                    "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON")
                                         .arg(build.path()));
    EXPECT_EQ(configure.status, 0) << configure.errors.toStdString();
    // And the demo's build asks for neither the tests nor -Werror.
    const ScriptRun options = Bash(QStringLiteral(
        "source scripts/lib.sh; cmake() { echo \"$*\" >&2; }; ombrix_build_program somewhere"));
    EXPECT_TRUE(options.errors.contains(QStringLiteral("-DOMBRIX_TESTS=OFF")));
    EXPECT_TRUE(options.errors.contains(QStringLiteral("-DOMBRIX_WERROR=OFF")));
}

TEST(Scripts, TheDemoSaysItHandedOverOrWhichOptionFreesThePort)
{
    QTemporaryDir runtime;
    const int port = FreePort();
    const QStringList portArgs{QStringLiteral("--port"), QString::number(port)};
    OmbrixProcess first(runtime.path(), portArgs);
    ASSERT_TRUE(
        first.WaitForLine(QStringLiteral("connection: %1ポートで接続待ち...").arg(port), 5000));

    const QString demo = QStringLiteral("scripts/demo --headless --port %1").arg(port);
    const ScriptRun handed = Bash(demo, DemoEnvironment(runtime.path()));
    EXPECT_EQ(handed.status, 0) << handed.errors.toStdString();
    EXPECT_TRUE(handed.output.contains(QStringLiteral("Handed over")))
        << handed.output.toStdString();
    EXPECT_TRUE(first.WaitForLine(QStringLiteral("file: demo.ttyrec"), 3000));

    // Another user's copy, as far as this runtime folder knows: the port is simply taken.
    QTemporaryDir otherRuntime;
    const ScriptRun taken = Bash(demo, DemoEnvironment(otherRuntime.path()));
    EXPECT_EQ(taken.status, 1);
    EXPECT_TRUE(taken.errors.contains(QStringLiteral("--port"))) << taken.errors.toStdString();
    EXPECT_EQ(first.Stop(), 0);
}
