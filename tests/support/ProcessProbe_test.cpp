// What the tests and the benchmarks read of a process, checked on this one.
#include "support/ProcessProbe.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "platform/UniqueFd.h"

namespace {

double OwnCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(ProcessProbe, ReadsThisProcessAsTheKernelCountsIt)
{
    // Some CPU time to tell utime and stime from the fields around them.
    volatile double spin = 0;
    for (int i = 0; i < 30000000; ++i) {
        spin = spin + i;
    }
    const double before = OwnCpuSeconds();
    const double probed = CpuSeconds(::getpid());
    const double after = OwnCpuSeconds();
    // The kernel's ticks are coarser than getrusage's microseconds.
    EXPECT_GT(probed, 0.0);
    EXPECT_GE(probed, before - 0.05);
    EXPECT_LE(probed, after + 0.05);

    // The same count in pages, from another file.
    QFile statm(QStringLiteral("/proc/self/statm"));
    ASSERT_TRUE(statm.open(QIODevice::ReadOnly));
    const long pagesKb =
        statm.readAll().split(' ').value(1).toLong() * ::sysconf(_SC_PAGESIZE) / 1024;
    const long resident = ResidentKb(::getpid());
    EXPECT_GT(resident, 1000);
    EXPECT_NEAR(resident, pagesKb, pagesKb / 10);

    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("held")));
    const QByteArrayList openBefore = OpenDescriptors(::getpid());
    const UniqueFd held(::open(path.constData(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    const QByteArrayList during = OpenDescriptors(::getpid());
    EXPECT_FALSE(openBefore.contains(path));
    EXPECT_TRUE(during.contains(path));

    EXPECT_EQ(ResidentKb(-1), -1);
    EXPECT_EQ(CpuSeconds(-1), -1);
}

}  // namespace
