// Packets: construction limits, byte-wise assembly and the accessors' error rules.
#include "corvane/aPacket.h"

#include "PacketTestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(aPacket, CreateWithDataTakesUpTo28Bytes) {
    uint8_t data[32] = {1, 2, 3};
    PacketPtr full(aPacket_CreateWithData(4, 28, data));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->count, 30);
    EXPECT_TRUE(aPacket_IsComplete(full.get()));
    EXPECT_EQ(aPacket_CreateWithData(4, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(4, 0, nullptr), nullptr);
    PacketPtr empty(aPacket_CreateWithData(4, 0, data));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(aPacket_IsComplete(empty.get()));
}

TEST(aPacket, CopyAndDestroyClearTheCallersPointer) {
    uint8_t data[] = {0x11, 0x22};
    aPacket* original = aPacket_CreateWithData(6, 2, data);
    aPacket* copy = aPacket_Copy(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->address, 6);
    EXPECT_EQ(copy->length, 2);
    EXPECT_EQ(copy->data[1], 0x22);
    EXPECT_EQ(aPacket_Destroy(&original), aErrNone);
    EXPECT_EQ(original, nullptr);
    EXPECT_EQ(aPacket_Destroy(&original), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    aPacket forged{};
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);
    EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
    EXPECT_EQ(aPacket_AddByte(&forged, 4), aErrParam);
    aPacket_Destroy(&copy);
}

TEST(aPacket, AssemblesAddressLengthAndData) {
    PacketPtr p(aPacket_Create());
    for (uint8_t b : {0x04, 0x02, 0x11}) {
        ASSERT_EQ(aPacket_AddByte(p.get(), b), aErrNone);
        EXPECT_FALSE(aPacket_IsComplete(p.get()));
    }
    ASSERT_EQ(aPacket_AddByte(p.get(), 0x22), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->length, 2);
    EXPECT_EQ(p->data[0], 0x11);
    EXPECT_EQ(p->data[1], 0x22);
    // One byte more than the length announced is out of step.
    EXPECT_EQ(aPacket_AddByte(p.get(), 0x33), aErrPacket);

    ASSERT_EQ(aPacket_Reset(p.get()), aErrNone);
    EXPECT_EQ(p->check, aPACKET_CHECK);
    EXPECT_EQ(p->count, 0);
    ASSERT_EQ(aPacket_AddByte(p.get(), 0x08), aErrNone);
    ASSERT_EQ(aPacket_AddByte(p.get(), 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.get())) << "a zero length completes after two bytes";
}

TEST(aPacket, RejectsBadAddressAndLengthBytes) {
    PacketPtr p(aPacket_Create());
    EXPECT_EQ(aPacket_AddByte(p.get(), 0x03), aErrPacket);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(aPacket_AddByte(p.get(), 0x00), aErrPacket);
    EXPECT_EQ(p->address, 0);

    aPacket_Reset(p.get());
    ASSERT_EQ(aPacket_AddByte(p.get(), 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.get(), 29), aErrPacket);
}

TEST(aPacket, OverrunsAfterThirtyBytesAndNeverWraps) {
    PacketPtr p(aPacket_Create());
    ASSERT_EQ(aPacket_AddByte(p.get(), 0x02), aErrNone);
    ASSERT_EQ(aPacket_AddByte(p.get(), 200), aErrPacket); // length kept, data keeps coming
    for (int i = 3; i <= 30; ++i) {
        ASSERT_EQ(aPacket_AddByte(p.get(), 0x55), aErrNone) << "byte " << i;
    }
    EXPECT_EQ(aPacket_AddByte(p.get(), 0x55), aErrOverrun) << "31st byte";
    // A long run of garbage must not wrap the count back into range.
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(aPacket_AddByte(p.get(), 0x55), aErrOverrun);
    }
}

TEST(aPacket, AccessorsCheckLengthAndPointers) {
    uint8_t data[] = {0x12, 0xC5, 0xE7};
    PacketPtr two(aPacket_CreateWithData(4, 2, data));
    PacketPtr three(aPacket_CreateWithData(4, 3, data));
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(two.get(), &v), aErrNone);
    EXPECT_EQ(v, 0x12);
    EXPECT_EQ(aPacket_GetOption(two.get(), &v), aErrNone);
    EXPECT_EQ(v, 0x05);
    EXPECT_EQ(aPacket_GetIndex(two.get(), &v), aErrPacket);
    EXPECT_EQ(aPacket_GetIndex(three.get(), &v), aErrNone);
    EXPECT_EQ(v, 0x07);
    EXPECT_EQ(aPacket_GetCmd(three.get(), nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

} // namespace
