// Taking connections off the listening socket when the descriptors run out.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>
#include <cerrno>
#include <vector>

#include "ServerFixture.h"

namespace {

class SocketAcceptorTest : public ServerFixture
{
};

TEST_F(SocketAcceptorTest, Accept_OutOfDescriptors_RestsThenAccepts)
{
#ifdef OMBRIX_SANITIZED
    // The sanitizer runtime tests whether memory is readable through a pipe of its own; in
    // a program with no descriptor to spare that fails, and its type check then reports
    // a live object as invalid. Out of descriptors is tested in the normal build.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    Open();
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    LoopbackClient client;  // its descriptor exists before the table is full
    rlimit lowered = original;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd = ::dup(client.Fd()); fd >= 0; fd = ::dup(client.Fd())) {
        fillers.push_back(fd);
    }
    const int fillError = errno;
    const bool connected = client.Connect(server.LocalPort());
    int activations = 0;
    {
        SocketActivationCounter counter;
        client.ReadFor(300);
        activations = counter.count;
    }
    const int whileFull = Connections();
    for (int fd : fillers) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_EQ(fillError, EMFILE);
    ASSERT_TRUE(connected);
    EXPECT_EQ(whileFull, 0);
    EXPECT_LT(activations, 30);
    EXPECT_TRUE(LoopbackClient::PumpUntil([&] { return Connections() == 1; }, kWaitMs));
}

}  // namespace
