#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "platform/UniqueFd.h"
#include "support/Loopback.h"

// How the real program is started for a test or a benchmark: always headless, with a
// runtime folder of its own, so that it is a first instance whatever else runs.
struct OmbrixLaunch
{
    // After the program's name and "--headless", as the platform's bytes.
    QByteArrayList arguments;
    // Its XDG_RUNTIME_DIR; empty: a fresh temporary folder that lives as long as the process
    // object.
    QString runtimeDir;
    // Where it runs; empty: where this process runs.
    QString workingDir;
    // The executable; empty: the one given to OmbrixProcess::SetDefaultProgram.
    QString program;
    // Standard error goes to this file instead of being collected, for a long run that
    // never looks at it; a relative name is in the runtime folder.
    QString errorLog;
    // Keeps only about this many of the latest bytes of standard output (0: all of it): a
    // long run prints a time line for every frame.
    qsizetype outputTail = 0;
};

// The real program, started headless and stopped by pid when the object goes. Its
// standard output (the status lines) and standard error are collected.
class OmbrixProcess
{
public:
    explicit OmbrixProcess(const OmbrixLaunch& launch);
    // runtimeDir: the XDG_RUNTIME_DIR it gets; workingDir: where it runs (empty: inherit).
    // rawArguments follow the arguments as they are, for names that are not UTF-8.
    OmbrixProcess(const QString& runtimeDir, const QStringList& arguments,
                  const QString& workingDir = QString(), const QString& program = QString(),
                  const QByteArrayList& rawArguments = {});
    ~OmbrixProcess();  // stops it
    OmbrixProcess(const OmbrixProcess&) = delete;
    OmbrixProcess& operator=(const OmbrixProcess&) = delete;

    // The program started when a launch names none.
    static void SetDefaultProgram(const QString& path);

    pid_t Pid() const { return pid_; }
    QString RuntimeDir() const { return runtimeDir_; }
    // The read end of its standard output, to wait on beside other descriptors; -1 once
    // closed.
    int OutputFd() const { return stdout_.Get(); }

    // Takes what it has printed so far; never blocks.
    void Drain();
    // A whole line of standard output (ended by its line break), or one that starts so.
    bool HasLine(QByteArrayView line) const;
    bool HasLinePrefix(QByteArrayView prefix) const;
    // Waits until standard output holds the line; false on timeout or exit.
    bool WaitForLine(const QString& line, int timeoutMs);
    bool WaitForLinePrefix(QByteArrayView prefix, int timeoutMs);
    // How many times standard output holds the whole line; waits until it holds it at least
    // `count` times (a status that comes back), false on timeout or exit.
    int CountLines(QByteArrayView line) const;
    bool WaitForLineCount(const QString& line, int count, int timeoutMs);

    // True until it has ended (and been reaped).
    bool Alive();
    // Waits for the process to end; returns its exit status, or -1 on timeout (it then
    // still runs) or when it died of a signal.
    int WaitForExit(int timeoutMs);
    void Signal(int signal);
    // SIGTERM, then SIGKILL after a grace period; returns the exit status.
    int Stop();

    QString Output();
    QString Errors();
    // Stops reading standard output: the program meets a pipe nobody reads.
    void LeaveOutputUnread() { readOutput_ = false; }
    // Closes our end of its standard output: its next status line meets a closed pipe.
    void CloseOutput();
    // Shrinks its standard-output pipe to one page, so a reader that stops soon fills it.
    void ShrinkOutputPipe();

private:
    // Reads what waits on standard output and error, waiting at most waitMs for it.
    void Drain(int waitMs);
    // Keeps the tail of standard output, cut at a line break.
    void TrimOutput();
    // Collects the exit status if it has ended.
    bool Reap();

    std::unique_ptr<QTemporaryDir> ownRuntime_;
    QString runtimeDir_;
    QString errorLog_;
    pid_t pid_ = -1;
    UniqueFd stdout_;
    UniqueFd stderr_;
    QByteArray out_;
    QByteArray err_;
    qsizetype outputTail_ = 0;
    int status_ = -2;  // -2 while running or never started; -1 after a signal
    bool readOutput_ = true;
};

// Writes a launcher into the folder that runs the program with its descriptor limit, soft
// and hard (the program raises its soft one to the hard one), lowered to `descriptors`;
// returns its path, to pass as the program of a launch.
QString WriteDescriptorLimitedLauncher(const QString& folder, const QString& program,
                                       int descriptors);
