#include "support/OmbrixProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <vector>

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

OmbrixProcess::OmbrixProcess(const QString& runtimeDir, const QStringList& arguments,
                             const QString& workingDir, const QString& program,
                             const QList<QByteArray>& rawArguments)
{
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        return;
    }
    const QByteArray binary = program.isEmpty() ? QByteArray(OMBRIX_BINARY) : program.toLocal8Bit();
    std::vector<QByteArray> argumentBytes{binary, "--headless"};
    for (const QString& argument : arguments) {
        argumentBytes.push_back(argument.toLocal8Bit());
    }
    argumentBytes.insert(argumentBytes.end(), rawArguments.begin(), rawArguments.end());
    const QByteArray runtime = runtimeDir.toLocal8Bit();
    const QByteArray directory = workingDir.toLocal8Bit();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        if (!directory.isEmpty() && ::chdir(directory.constData()) != 0) {
            ::_exit(127);
        }
        std::vector<char*> argv;
        for (QByteArray& argument : argumentBytes) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    stdoutFd_ = outPipe[0];
    stderrFd_ = errPipe[0];
    ::fcntl(stdoutFd_, F_SETFL, O_NONBLOCK);
    ::fcntl(stderrFd_, F_SETFL, O_NONBLOCK);
}

OmbrixProcess::~OmbrixProcess()
{
    Stop();
    if (stdoutFd_ >= 0) {
        ::close(stdoutFd_);
    }
    if (stderrFd_ >= 0) {
        ::close(stderrFd_);
    }
}

void OmbrixProcess::Drain(int waitMs)
{
    pollfd fds[2] = {{readOutput_ ? stdoutFd_ : -1, POLLIN, 0}, {stderrFd_, POLLIN, 0}};
    ::poll(fds, 2, waitMs);
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
        if (i == 0 && !readOutput_) {
            continue;
        }
        QByteArray& sink = i == 0 ? out_ : err_;
        for (;;) {
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            sink.append(buffer, got);
        }
    }
}

bool OmbrixProcess::WaitForLine(const QString& line, int timeoutMs)
{
    const QByteArray wanted = line.toUtf8();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        Drain(10);
        if (out_.split('\n').contains(wanted)) {
            return true;
        }
        if (clock.elapsed() > timeoutMs || WaitForExit(0) != -1) {
            Drain(0);
            return out_.split('\n').contains(wanted);
        }
    }
}

int OmbrixProcess::WaitForExit(int timeoutMs)
{
    if (pid_ <= 0) {
        return status_ >= -1 ? status_ : -1;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            Drain(0);
            return status_;
        }
        if (clock.elapsed() >= timeoutMs) {
            return -1;
        }
        Drain(5);
    }
}

void OmbrixProcess::Signal(int signal)
{
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

int OmbrixProcess::Stop()
{
    if (pid_ <= 0) {
        return status_;
    }
    Signal(SIGTERM);
    const int status = WaitForExit(5000);
    if (pid_ > 0) {
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
    return QString::fromUtf8(err_);
}

void OmbrixProcess::CloseOutput()
{
    Drain(0);
    readOutput_ = false;
    if (stdoutFd_ >= 0) {
        ::close(stdoutFd_);
        stdoutFd_ = -1;
    }
}
