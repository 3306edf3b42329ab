#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The other programs the benchmarks run beside Ombrix: started with their standard
// streams where asked, stopped by pid, their CPU time taken from the kernel at the end.
namespace bench {

// Starts argv[0] (searched on PATH) with the given standard input and output (-1: the
// null device); returns its pid, or -1.
pid_t Spawn(const std::vector<std::string>& argv, int input, int output);
// Waits for the process to end by itself (SIGKILL after timeoutMs); its CPU seconds.
double WaitForCpu(pid_t pid, int timeoutMs);
// SIGTERM, then the same.
double StopForCpu(pid_t pid);

}  // namespace bench
