#include "Peers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Harness.h"

namespace bench {

pid_t Spawn(const std::vector<std::string>& argv, int input, int output)
{
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(input >= 0 ? input : null, 0);
    ::dup2(output >= 0 ? output : null, 1);
    ::dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& argument : argv) {
        args.push_back(const_cast<char*>(argument.c_str()));
    }
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

double WaitForCpu(pid_t pid, int timeoutMs)
{
    if (pid <= 0) {
        return 0;
    }
    const int64_t end = NowNs() + int64_t{timeoutMs} * 1000000;
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (NowNs() > end) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            break;
        }
        ::usleep(2000);
    }
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double StopForCpu(pid_t pid)
{
    if (pid > 0) {
        ::kill(pid, SIGTERM);
    }
    return WaitForCpu(pid, 5000);
}

}  // namespace bench
