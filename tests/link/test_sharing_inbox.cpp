// The inbox of a sharing client in the server's process: frames come out whole and in order, a
// client that does not read holds a bounded number, and a put, a close or a cancel ends a wait.
#include "aZmqSockets.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using corvane::InprocInbox;

// Long enough that only a lost wake-up lets a wait run out.
constexpr uint32_t kLostWakeMs = 60000;

std::vector<uint8_t> frame(uint32_t n) {
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0x5A};
}

TEST(SharingInbox, KeepsFramesInOrderUpToItsLimit) {
    InprocInbox inbox;
    ASSERT_TRUE(inbox.usable());
    EXPECT_EQ(inbox.await(0), aErrNotReady);
    for (uint32_t n = 0; n < InprocInbox::kLimit; ++n)
        ASSERT_TRUE(inbox.put(frame(n).data(), frame(n).size())) << n;
    EXPECT_FALSE(inbox.put(frame(9999).data(), 3)) << "a client that does not read loses it";
    EXPECT_EQ(inbox.await(0), aErrNone);
    std::vector<uint8_t> taken;
    for (uint32_t n = 0; n < InprocInbox::kLimit; ++n) {
        ASSERT_TRUE(inbox.take(taken)) << n;
        ASSERT_EQ(taken, frame(n));
    }
    EXPECT_FALSE(inbox.take(taken));
    EXPECT_TRUE(inbox.put(frame(1).data(), 3)) << "room again once read";
}

// Each thing that must end a client's wait, from another thread that may act before or during
// the wait: either order ends it at once, and only a frame or a close does.
TEST(SharingInbox, APutOrACloseEndsTheWait) {
    InprocInbox inbox;
    for (int round = 0; round < 50; ++round) {
        std::thread putter([&] { inbox.put(frame(round).data(), 3); });
        const aErr waited = inbox.await(kLostWakeMs);
        putter.join();
        ASSERT_EQ(waited, aErrNone) << round;
        std::vector<uint8_t> taken;
        ASSERT_TRUE(inbox.take(taken));
        EXPECT_EQ(taken, frame(round));
        EXPECT_EQ(inbox.await(0), aErrNotReady) << "nothing left to wake for";
    }
    std::thread closer([&] { inbox.wake(); });
    const aErr waited = inbox.await(kLostWakeMs);
    closer.join();
    EXPECT_EQ(waited, aErrNone);
    EXPECT_EQ(inbox.await(0), aErrNone) << "a closing client's waits end from then on";
}

// The link's idle reader watches the inbox while a caller may wait on it too: one frame wakes
// both, and the reader's own wake-up calls its watch away.
TEST(SharingInbox, WakesEveryWaiterAndAnswersACancel) {
    InprocInbox inbox;
    aErr waited[2] = {aErrUnknown, aErrUnknown};
    std::thread first([&] { waited[0] = inbox.await(kLostWakeMs); });
    std::thread second([&] { waited[1] = inbox.await(kLostWakeMs); });
    ASSERT_TRUE(inbox.put(frame(7).data(), 3));
    first.join();
    second.join();
    EXPECT_EQ(waited[0], aErrNone);
    EXPECT_EQ(waited[1], aErrNone);
    std::vector<uint8_t> taken;
    ASSERT_TRUE(inbox.take(taken));

    int cancel = corvane::platform::noWake;
    ASSERT_EQ(corvane::platform::makeWake(cancel), aErrNone);
    std::thread caller([&] { corvane::platform::raiseWake(cancel); });
    EXPECT_EQ(inbox.await(kLostWakeMs, cancel), aErrCancel);
    caller.join();
    corvane::platform::closeWake(cancel);
}

} // namespace
