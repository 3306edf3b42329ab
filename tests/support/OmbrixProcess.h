#pragma once

#include <sys/types.h>
#include <QByteArray>
#include <QString>
#include <QStringList>

// A free TCP port on 127.0.0.1 at the moment of asking.
int FreePort();

// The real program, started headless for a test and stopped by pid when the test ends.
// Its standard output (the status lines) and standard error are collected.
class OmbrixProcess
{
public:
    // runtimeDir: the XDG_RUNTIME_DIR it gets; workingDir: where it runs (empty: inherit).
    // rawArguments follow the arguments as they are, for names that are not UTF-8.
    OmbrixProcess(const QString& runtimeDir, const QStringList& arguments,
                  const QString& workingDir = QString(), const QString& program = QString(),
                  const QList<QByteArray>& rawArguments = {});
    ~OmbrixProcess();
    OmbrixProcess(const OmbrixProcess&) = delete;
    OmbrixProcess& operator=(const OmbrixProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Waits until standard output holds the line; returns false on timeout or exit.
    bool WaitForLine(const QString& line, int timeoutMs);
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

private:
    void Drain(int waitMs);
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
    QByteArray out_;
    QByteArray err_;
    int status_ = -2;
    bool readOutput_ = true;
};
