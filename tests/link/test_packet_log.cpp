// Packet log: room rules of the ring, dropping the oldest entries, and reading entries back.
#include "corvane/aPacketLog.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct LogDeleter {
    void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDeleter>;

const uint8_t kData[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(aPacketLog, SixteenByteRingTakes13DataBytesOnlyWhenEmpty) {
    LogPtr log(aPacketLog_Create(16));
    ASSERT_TRUE(log);
    EXPECT_EQ(aPacketLog_Put(log.get(), 2, 14, kData), aErrOverrun);
    ASSERT_EQ(aPacketLog_Put(log.get(), 2, 1, kData), aErrNone);
    // The 13-byte entry needs the whole ring: the older entry is dropped for it.
    ASSERT_EQ(aPacketLog_Put(log.get(), 4, 13, kData), aErrNone);
    uint8_t address = 0, length = 32, buffer[32] = {};
    ASSERT_EQ(aPacketLog_Get(log.get(), &address, &length, buffer), aErrNone);
    EXPECT_EQ(address, 4);
    EXPECT_EQ(length, 13);
    EXPECT_EQ(buffer[12], 13);
    length = 32;
    EXPECT_EQ(aPacketLog_Get(log.get(), &address, &length, buffer), aErrNotFound);
}

TEST(aPacketLog, DropsOldestEntriesFirstAcrossTheWrap) {
    LogPtr log(aPacketLog_Create(16));
    for (uint8_t tag = 1; tag <= 7; ++tag) {
        ASSERT_EQ(aPacketLog_Put(log.get(), tag, 3, kData + tag), aErrNone);
    }
    // Each entry takes 5 bytes and one byte stays free: the last three remain.
    uint8_t address = 0, length = 0, buffer[8] = {};
    for (uint8_t tag : {5, 6, 7}) {
        length = sizeof buffer;
        ASSERT_EQ(aPacketLog_Get(log.get(), &address, &length, buffer), aErrNone);
        EXPECT_EQ(address, tag);
        EXPECT_EQ(length, 3);
        EXPECT_EQ(buffer[0], kData[tag]);
        EXPECT_EQ(buffer[2], kData[tag + 2]);
    }
    length = sizeof buffer;
    EXPECT_EQ(aPacketLog_Get(log.get(), &address, &length, buffer), aErrNotFound);
}

TEST(aPacketLog, SmallBufferLeavesTheEntryInPlace) {
    LogPtr log(aPacketLog_Create(64));
    ASSERT_EQ(aPacketLog_Put(log.get(), 1, 10, kData), aErrNone);
    uint8_t address = 0, length = 4, buffer[16] = {};
    EXPECT_EQ(aPacketLog_Get(log.get(), &address, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 10);
    length = sizeof buffer;
    EXPECT_EQ(aPacketLog_Get(log.get(), &address, &length, buffer), aErrNone);
    EXPECT_EQ(address, 1);
    EXPECT_EQ(length, 10);
}

TEST(aPacketLog, ArgumentsAndEnabledMark) {
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    LogPtr log(aPacketLog_Create(8));
    EXPECT_FALSE(aPacketLog_IsEnabled(log.get()));
    EXPECT_EQ(aPacketLog_SetEnabled(log.get(), true), aErrNone);
    EXPECT_TRUE(aPacketLog_IsEnabled(log.get()));
    EXPECT_EQ(aPacketLog_Put(log.get(), 1, 2, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Put(log.get(), 1, 0, nullptr), aErrNone);
    EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
    aPacketLog* none = nullptr;
    EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
    aPacketLog* raw = log.release();
    EXPECT_EQ(aPacketLog_Destroy(&raw), aErrNone);
    EXPECT_EQ(raw, nullptr);
}

} // namespace
