#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "platform/RuntimeDir.h"

namespace {

constexpr uint32_t kUntouched = 0xDEADBEEF;

QString LockPath(const QString& name)
{
    return RuntimeDirectory() + u'/' + name + u".lock";
}

// Reads one byte from a pipe; false at end of file.
bool ReadByte(int fd, char* byte)
{
    return ::read(fd, byte, 1) == 1;
}

}  // namespace

TEST(SharedMemory, FirstHoldsSecondReadsIdReleaseMakesFirstAgain)
{
    const QString name = QStringLiteral("first-second");
    // What a holder killed long ago left in the file must not show through a fresh view.
    {
        QFile stale(LockPath(name));
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write("\x11\x22\x33\x44garbage");
    }

    uint32_t existed = kUntouched;
    auto first = OpenSharedMemory(name, 4, &existed);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(existed, 0u);
    EXPECT_TRUE(first->Holder());
    EXPECT_EQ(first->Name(), name);
    EXPECT_EQ(*first->View(), 0u);
    *first->View() = 424242;

    existed = kUntouched;
    auto second = OpenSharedMemory(name, 4, &existed);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(existed, 1u);
    EXPECT_FALSE(second->Holder());
    EXPECT_EQ(*second->View(), 424242u);
    *first->View() = 7;
    EXPECT_EQ(*second->View(), 7u) << "the view is shared, not a copy";

    // A later start closing its handle does not free the holder's object.
    EXPECT_TRUE(CloseSharedMemory(second));
    EXPECT_EQ(second, nullptr);
    auto third = OpenSharedMemory(name, 4, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_FALSE(third->Holder());
    EXPECT_TRUE(CloseSharedMemory(third));

    EXPECT_TRUE(CloseSharedMemory(first));
    EXPECT_FALSE(QFileInfo::exists(LockPath(name))) << "gone with its last holder";
    EXPECT_FALSE(CloseSharedMemory(first)) << "nothing left to close";

    existed = kUntouched;
    auto again = OpenSharedMemory(name, 4, &existed);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(existed, 0u);
    EXPECT_TRUE(again->Holder());
    EXPECT_EQ(*again->View(), 0u);
}

TEST(SharedMemory, BadNamesFailWithoutAnswer)
{
    for (const QString& name : {QString(), QStringLiteral("a/b"), QStringLiteral("../x")}) {
        uint32_t existed = kUntouched;
        EXPECT_EQ(OpenSharedMemory(name, 4, &existed), nullptr) << name.toStdString();
        EXPECT_EQ(existed, kUntouched);
    }
}

TEST(SharedMemory, HolderKilledWithSigkillLeavesNothingBehind)
{
    const QString name = QStringLiteral("killed-holder");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        uint32_t existed = kUntouched;
        auto memory = OpenSharedMemory(name, 4, &existed);
        if (memory == nullptr || existed != 0) {
            ::_exit(1);
        }
        *memory->View() = static_cast<uint32_t>(::getpid());
        (void)!::write(ready[1], "h", 1);
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_TRUE(ReadByte(ready[0], &byte)) << "the child could not take the object";
    ::close(ready[0]);

    uint32_t existed = kUntouched;
    auto later = OpenSharedMemory(name, 4, &existed);
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(existed, 1u);
    EXPECT_EQ(*later->View(), static_cast<uint32_t>(child));
    EXPECT_TRUE(CloseSharedMemory(later));

    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto next = OpenSharedMemory(name, 4, &existed);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(existed, 0u);
    EXPECT_TRUE(next->Holder());
    EXPECT_EQ(*next->View(), 0u) << "the dead holder's id is not shown to the new one";
}

// Children start together on one signal (the end of a pipe), each reports whether it holds
// the object, and all keep what they have until every report is in.
TEST(SharedMemory, SimultaneousStartsGiveExactlyOneHolder)
{
    constexpr int kChildren = 12;
    for (int round = 0; round < 5; ++round) {
        const QString name = QStringLiteral("race-%1").arg(round);
        int go[2], report[2], release[2];
        ASSERT_EQ(::pipe(go), 0);
        ASSERT_EQ(::pipe(report), 0);
        ASSERT_EQ(::pipe(release), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kChildren; ++i) {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ::close(go[1]);
                ::close(report[0]);
                ::close(release[1]);
                char byte = 0;
                ReadByte(go[0], &byte);
                uint32_t existed = kUntouched;
                auto memory = OpenSharedMemory(name, 4, &existed);
                const char answer = memory == nullptr ? 'f' : (existed == 0 ? 'h' : 'o');
                (void)!::write(report[1], &answer, 1);
                ReadByte(release[0], &byte);
                ::_exit(0);
            }
            children.push_back(child);
        }
        ::close(go[0]);
        ::close(report[1]);
        ::close(release[0]);
        ::close(go[1]);  // everybody starts now

        int holders = 0, others = 0;
        char answer = 0;
        for (int i = 0; i < kChildren && ReadByte(report[0], &answer); ++i) {
            holders += answer == 'h';
            others += answer == 'o';
        }
        ::close(release[1]);
        ::close(report[0]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
        }
        EXPECT_EQ(holders, 1) << "round " << round;
        EXPECT_EQ(others, kChildren - 1) << "round " << round;
    }
}

// The lock must not leak into programs the holder starts: one that outlives a holder killed
// without cleaning up would keep every later start handing off to nobody.
TEST(SharedMemory, ProgramsStartedByTheHolderDoNotKeepIt)
{
    const QString name = QStringLiteral("inherited");
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        auto holder = OpenSharedMemory(name, 4, nullptr);
        // The end of a close-on-exec pipe tells when the program has replaced the fork.
        int started[2];
        pid_t program = -1;
        if (holder != nullptr && holder->Holder() && ::pipe2(started, O_CLOEXEC) == 0 &&
            (program = ::fork()) == 0) {
            ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (program > 0) {
            ::close(started[1]);
            char byte = 0;
            ReadByte(started[0], &byte);
        }
        (void)!::write(report[1], &program, sizeof(program));
        ::_exit(0);  // no release: as if killed
    }
    ::close(report[1]);
    pid_t program = -1;
    ASSERT_EQ(::read(report[0], &program, sizeof(program)), static_cast<ssize_t>(sizeof(program)));
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_GT(program, 0) << "the child could not take the object";

    uint32_t existed = kUntouched;
    auto next = OpenSharedMemory(name, 4, &existed);
    ::kill(program, SIGKILL);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(existed, 0u);
}
