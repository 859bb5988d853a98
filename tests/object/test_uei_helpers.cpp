// The exported aUEI_* helpers and the stream cache that gets consult first.
#include "corvane/aUEI.h"

#include "StreamRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

aPacket* packetOf(std::initializer_list<uint8_t> data) {
    return aPacket_CreateWithData(2, static_cast<uint8_t>(data.size()), data.begin());
}

TEST(UEIHelpers, BigEndianValues) {
    const uint8_t bytes[] = {0x00, 0x01, 0x86, 0xA0};
    EXPECT_EQ(aUEI_RetrieveShort(bytes + 2), 0x86A0);
    EXPECT_EQ(aUEI_RetrieveInt(bytes), 100000u);
    uint32_t words[2];
    const uint8_t wire[] = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x00, 0x2A};
    std::memcpy(words, wire, sizeof wire);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x12345678u);
    EXPECT_EQ(words[1], 42u);
}

TEST(UEIHelpers, ControlByteAndPayloadKind) {
    struct Case {
        std::initializer_list<uint8_t> data;
        uint8_t more, sequence;
        bool full, notUei;
    };
    const std::vector<uint8_t> full(28, 0x30);
    const Case cases[] = {
        {{3, 0x20, 0, 1, 2, 0x85}, 0x80, 5, false, false},
        {{73, 0xFF}, 0x80, 0x7F, false, true},
        {{94, 0x40, 0x00}, 0, 0, false, true},
        {{30, 0x02, 0, 0x7F}, 0, 0x7F, false, false},
        {{175, 1}, 0, 1, false, true},
    };
    for (const Case& c : cases) {
        aPacket* p = packetOf(c.data);
        EXPECT_EQ(aUEI_getBytesContinue(p), c.more);
        EXPECT_EQ(aUEI_getBytesSequence(p), c.sequence);
        EXPECT_EQ(aUEI_getBytesFullPacket(p), c.full);
        EXPECT_EQ(aUEI_isNotUEIPayload(p), c.notUei);
        EXPECT_EQ(aUEI_isUEIPayload(p), !c.notUei);
        aPacket_Destroy(&p);
    }
    aPacket* p27 = aPacket_CreateWithData(2, 27, full.data());
    aPacket* p28 = aPacket_CreateWithData(2, 28, full.data());
    EXPECT_TRUE(aUEI_getBytesFullPacket(p27));
    EXPECT_TRUE(aUEI_getBytesFullPacket(p28));
    aPacket_Destroy(&p27);
    aPacket_Destroy(&p28);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
}

TEST(StreamCache, AnswersNotFoundUntilAValueArrivesThenFreshOnce) {
    Corvane::StreamRegistry registry;
    const uint64_t key = Corvane::makeStreamKey(2, 18, 3, 1, 0xFF);
    EXPECT_EQ(key, 0xFF02120301u);
    uint32_t value = 7;
    EXPECT_EQ(registry.latestValue(key, &value), aErrNotFound);
    EXPECT_EQ(value, 7u);
    registry.store(key, 42);
    EXPECT_EQ(registry.latestValue(key, &value), aErrNone);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(registry.latestValue(key, &value), aErrStreamStale);
    EXPECT_EQ(value, 42u);
    registry.clear();
    EXPECT_EQ(registry.latestValue(key, &value), aErrNotFound);
}

} // namespace
