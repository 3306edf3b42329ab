#pragma once

#include <sys/types.h>

#include <QByteArrayList>

// What the kernel says of a running process (or of a zombie not yet reaped), read from
// /proc: how the tests check for leaks and the benchmarks measure cost.

// Resident set size in KiB; -1 when the process is gone.
long ResidentKb(pid_t pid);
// User plus system CPU time in seconds; -1 when the process is gone.
double CpuSeconds(pid_t pid);
// What each open descriptor refers to ("socket:[123]", a file's path, ...).
QByteArrayList OpenDescriptors(pid_t pid);
