#include "support/OmbrixProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <vector>

extern char** environ;

namespace {
QString& DefaultProgram()
{
    static QString program;
    return program;
}

// This process's environment for the program: its own runtime folder and no display, so
// it is headless whatever the caller's session has.
std::vector<QByteArray> ChildEnvironment(const QString& runtimeDir)
{
    std::vector<QByteArray> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const QByteArray variable(*entry);
        if (!variable.startsWith("XDG_RUNTIME_DIR=") && !variable.startsWith("DISPLAY=") &&
            !variable.startsWith("WAYLAND_DISPLAY=")) {
            environment.push_back(variable);
        }
    }
    environment.push_back("XDG_RUNTIME_DIR=" + QFile::encodeName(runtimeDir));
    return environment;
}

// A pipe whose read end is ours, non-blocking; the write end blocks, as a program expects
// of its standard streams.
bool OpenPipe(UniqueFd& readEnd, UniqueFd& writeEnd)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.Reset(ends[0]);
    writeEnd.Reset(ends[1]);
    ::fcntl(readEnd.Get(), F_SETFL, O_NONBLOCK);
    return true;
}

std::vector<char*> Pointers(std::vector<QByteArray>& strings)
{
    std::vector<char*> pointers;
    for (QByteArray& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}
}  // namespace

void OmbrixProcess::SetDefaultProgram(const QString& path)
{
    DefaultProgram() = path;
}

OmbrixProcess::OmbrixProcess(const QString& runtimeDir, const QStringList& arguments,
                             const QString& workingDir, const QString& program,
                             const QByteArrayList& rawArguments)
    : OmbrixProcess([&] {
          OmbrixLaunch launch;
          for (const QString& argument : arguments) {
              launch.arguments.append(argument.toLocal8Bit());
          }
          launch.arguments += rawArguments;
          launch.runtimeDir = runtimeDir;
          launch.workingDir = workingDir;
          launch.program = program;
          return launch;
      }())
{
}

OmbrixProcess::OmbrixProcess(const OmbrixLaunch& launch)
    : runtimeDir_(launch.runtimeDir), outputTail_(launch.outputTail)
{
    if (runtimeDir_.isEmpty()) {
        ownRuntime_ = std::make_unique<QTemporaryDir>();
        runtimeDir_ = ownRuntime_->path();
    }
    UniqueFd outWrite;
    if (!OpenPipe(stdout_, outWrite)) {
        return;
    }
    UniqueFd errWrite;
    errorLog_ = launch.errorLog.isEmpty() ? QString() : QDir(runtimeDir_).filePath(launch.errorLog);
    if (!errorLog_.isEmpty()) {
        errWrite.Reset(::open(QFile::encodeName(errorLog_).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    } else {
        OpenPipe(stderr_, errWrite);
    }

    // Everything the child needs is made before fork(): after it, only calls that are safe
    // in a copy of a threaded process.
    std::vector<QByteArray> argumentBytes{
        QFile::encodeName(launch.program.isEmpty() ? DefaultProgram() : launch.program),
        "--headless"};
    argumentBytes.insert(argumentBytes.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char*> argv = Pointers(argumentBytes);
    std::vector<QByteArray> environment = ChildEnvironment(runtimeDir_);
    std::vector<char*> envp = Pointers(environment);
    const QByteArray directory = QFile::encodeName(launch.workingDir);

    pid_ = ::fork();
    if (pid_ == 0) {
        // The pipes' write ends lose close-on-exec as they become 1 and 2.
        ::dup2(outWrite.Get(), STDOUT_FILENO);
        if (errWrite.Valid()) {
            ::dup2(errWrite.Get(), STDERR_FILENO);
        }
        if (!directory.isEmpty() && ::chdir(directory.constData()) != 0) {
            ::_exit(127);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
}

OmbrixProcess::~OmbrixProcess()
{
    Stop();
}

void OmbrixProcess::Drain()
{
    Drain(0);
}

void OmbrixProcess::Drain(int waitMs)
{
    const int out = readOutput_ ? stdout_.Get() : -1;
    pollfd fds[2] = {{out, POLLIN, 0}, {stderr_.Get(), POLLIN, 0}};
    if (waitMs > 0) {
        ::poll(fds, 2, waitMs);
    }
    char buffer[65536];
    QByteArray* sinks[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0) {
            continue;
        }
        ssize_t got = 0;
        while ((got = ::read(fds[i].fd, buffer, sizeof buffer)) > 0) {
            sinks[i]->append(buffer, got);
        }
    }
    TrimOutput();
}

void OmbrixProcess::TrimOutput()
{
    if (outputTail_ <= 0 || out_.size() <= 2 * outputTail_) {
        return;
    }
    const qsizetype lineEnd = out_.indexOf('\n', out_.size() - outputTail_);
    out_.remove(0, lineEnd < 0 ? out_.size() : lineEnd + 1);
}

bool OmbrixProcess::HasLine(QByteArrayView line) const
{
    const QByteArray whole = line.toByteArray() + '\n';
    return out_.startsWith(whole) || out_.contains('\n' + whole);
}

bool OmbrixProcess::HasLinePrefix(QByteArrayView prefix) const
{
    return out_.startsWith(prefix) || out_.contains('\n' + prefix.toByteArray());
}

bool OmbrixProcess::WaitForLine(const QString& line, int timeoutMs)
{
    return WaitForLinePrefix(line.toUtf8() + '\n', timeoutMs);
}

bool OmbrixProcess::WaitForLinePrefix(QByteArrayView prefix, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        Drain(5);
        if (HasLinePrefix(prefix)) {
            return true;
        }
        if (clock.elapsed() > timeoutMs || !Alive()) {
            Drain(0);
            return HasLinePrefix(prefix);
        }
    }
}

int OmbrixProcess::CountLines(QByteArrayView line) const
{
    const QByteArray whole = line.toByteArray() + '\n';
    return static_cast<int>(('\n' + out_).count('\n' + whole));
}

bool OmbrixProcess::WaitForLineCount(const QString& line, int count, int timeoutMs)
{
    const QByteArray bytes = line.toUtf8();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        Drain(5);
        if (CountLines(bytes) >= count) {
            return true;
        }
        if (clock.elapsed() > timeoutMs || !Alive()) {
            Drain(0);
            return CountLines(bytes) >= count;
        }
    }
}

bool OmbrixProcess::Reap()
{
    if (pid_ <= 0) {
        return true;
    }
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) {
        return false;
    }
    pid_ = -1;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    Drain(0);
    return true;
}

bool OmbrixProcess::Alive()
{
    return !Reap();
}

int OmbrixProcess::WaitForExit(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!Reap()) {
        if (clock.elapsed() >= timeoutMs) {
            return -1;
        }
        Drain(5);
    }
    return status_ >= -1 ? status_ : -1;
}

void OmbrixProcess::Signal(int signal)
{
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

int OmbrixProcess::Stop()
{
    if (!Alive()) {
        return status_;
    }
    Signal(SIGTERM);
    const int status = WaitForExit(5000);
    if (Alive()) {
        Signal(SIGKILL);
        WaitForExit(5000);
        return -1;
    }
    return status;
}

QString OmbrixProcess::Output()
{
    Drain(0);
    return QString::fromUtf8(out_);
}

QString OmbrixProcess::Errors()
{
    Drain(0);
    if (!errorLog_.isEmpty()) {
        QFile log(errorLog_);
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }
    return QString::fromUtf8(err_);
}

void OmbrixProcess::CloseOutput()
{
    Drain(0);
    readOutput_ = false;
    stdout_.Close();
}

void OmbrixProcess::ShrinkOutputPipe()
{
    ::fcntl(stdout_.Get(), F_SETPIPE_SZ, 4096);
}

QString WriteDescriptorLimitedLauncher(const QString& folder, const QString& program,
                                       int descriptors)
{
    const QString path = QDir(folder).filePath(QStringLiteral("descriptor-limited"));
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly)) {
        return QString();
    }
    script.write(QStringLiteral("#!/bin/sh\nexec prlimit --nofile=%1:%1 \"%2\" \"$@\"\n")
                     .arg(descriptors)
                     .arg(program)
                     .toLocal8Bit());
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}
