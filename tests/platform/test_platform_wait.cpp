// Waiting for a socket to become readable: the time runs out on silence, input or the peer's
// end ends the wait, and signals do not cut it short.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using corvane::platform::waitSocketReadable;
using namespace std::chrono_literals;

class SocketWait : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    void TearDown() override {
        for (int end : ends)
            if (end >= 0)
                close(end);
    }
    int ends[2] = {-1, -1};
};

TEST_F(SocketWait, SilenceRunsOutAndInputOrTheEndIsReady) {
    EXPECT_EQ(waitSocketReadable(ends[0], 0), aErrNotReady);
    EXPECT_EQ(waitSocketReadable(ends[0], 20), aErrNotReady);
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    EXPECT_EQ(waitSocketReadable(ends[0], 0), aErrNone);
    char byte = 0;
    ASSERT_EQ(read(ends[0], &byte, 1), 1);
    close(ends[1]);
    ends[1] = -1;
    EXPECT_EQ(waitSocketReadable(ends[0], 60000), aErrNone) << "the read reports the end";
}

void ignore(int) {}

TEST_F(SocketWait, SignalsDoNotEndTheWait) {
    struct sigaction action {};
    action.sa_handler = ignore; // no SA_RESTART: a signal interrupts the wait's poll
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::promise<pthread_t> waiterThread;
    std::promise<void> release; // keeps the waiting thread alive for the signals, however it ends
    auto waited = std::async(std::launch::async, [&] {
        waiterThread.set_value(pthread_self());
        const aErr result = waitSocketReadable(ends[0], 60000);
        release.get_future().wait();
        return result;
    });
    const pthread_t waiter = waiterThread.get_future().get();
    // Most likely the wait has begun by the first signal; it holds either way.
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(5ms);
        pthread_kill(waiter, SIGUSR1);
    }
    EXPECT_EQ(write(ends[1], "x", 1), 1);
    release.set_value();
    ASSERT_EQ(waited.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(waited.get(), aErrNone);
    sigaction(SIGUSR1, &previous, nullptr);
}

} // namespace
