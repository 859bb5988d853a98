// The link writer against a scripted stream: one write per packet, pooled batches, routing on
// and off, what is sent while stopping, and the packet debug log.
#include "corvane/aLink.h"

#include "LinkTestSupport.h"
#include "PacketTestSupport.h"
#include "ScriptedLinkStream.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

PacketPtr fullPacket(uint8_t address, uint8_t fill) {
    uint8_t data[28];
    for (uint8_t i = 0; i < 28; ++i)
        data[i] = static_cast<uint8_t>(fill + i);
    return PacketPtr(aPacket_CreateWithData(address, 28, data));
}

class LinkWriter : public ::testing::Test {
  protected:
    // Starts the link with the writer held at the gate on its first write (routing on).
    void startHeld() {
        fake.closeGate();
        link.reset(aLink_Create(fake.stream()));
        ASSERT_NE(link.get(), 0u);
        ASSERT_TRUE(fake.waitForBlockedWriter(1000ms));
    }

    ScriptedLinkStream fake;
    LinkOwner link;
};

TEST_F(LinkWriter, PooledPacketsGoOutInBatchesOf136) {
    startHeld();
    ASSERT_EQ(aLink_EnablePooledPackets(link.get(), true), aErrNone);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(aLink_PutPacket(link.get(), fullPacket(4, static_cast<uint8_t>(i)).get()),
                  aErrNone);
    fake.openGate();
    ASSERT_TRUE(fake.waitForWritten(3 + 200 * 30, 2000ms));
    // Routing on alone, then 136 packets (4080 bytes: past 4066, so the batch closed), then
    // the other 64.
    EXPECT_EQ(fake.writeSizes(), (std::vector<size_t>{3, 4080, 1920}));

    const std::vector<uint8_t> bytes = fake.written();
    for (int i = 0; i < 200; ++i) {
        const size_t at = 3 + static_cast<size_t>(i) * 30;
        ASSERT_EQ(bytes[at], 4);
        ASSERT_EQ(bytes[at + 1], 28);
        ASSERT_EQ(bytes[at + 2], static_cast<uint8_t>(i)) << "packet " << i << " out of order";
    }
}

TEST_F(LinkWriter, WithoutPoolingEachPacketIsOneWrite) {
    startHeld();
    ASSERT_EQ(aLink_PutPacket(link.get(), makePacket(4, {1}).get()), aErrNone);
    ASSERT_EQ(aLink_PutPacket(link.get(), makePacket(4, {1, 2, 3}).get()), aErrNone);
    ASSERT_EQ(aLink_PutPacket(link.get(), makePacket(6, {}).get()), aErrNone);
    fake.openGate();
    ASSERT_TRUE(fake.waitForWritten(3 + 3 + 5 + 2, 1000ms));
    EXPECT_EQ(fake.writeSizes(), (std::vector<size_t>{3, 3, 5, 2}));
    EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0xAF, 1, 1, 4, 1, 1, 4, 3, 1, 2, 3, 6, 0}));
}

TEST_F(LinkWriter, StoppingSendsWhatIsQueuedThenRoutingOff) {
    startHeld();
    ASSERT_EQ(aLink_PutPacket(link.get(), makePacket(4, {9}).get()), aErrNone);
    ASSERT_EQ(aLink_PutPacket(link.get(), makePacket(4, {8}).get()), aErrNone);
    std::thread opener([&] {
        std::this_thread::sleep_for(50ms);
        fake.openGate();
    });
    link.reset();
    opener.join();
    EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0xAF, 1, 1, 4, 1, 9, 4, 1, 8, 0xAF, 1, 0}));
    EXPECT_EQ(fake.deletes(), 1);
}

TEST_F(LinkWriter, PutOnAnUnknownLinkIsRefused) {
    EXPECT_EQ(aLink_PutPacket(999, makePacket(4, {1}).get()), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(999, true), aErrParam);
    EXPECT_EQ(aLink_InstallUserPacketFilter(999, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_GetPacket(999), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(999, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(999, nullptr, nullptr), 0u);
}

class PacketDebugLog : public ::testing::Test {
  protected:
    void SetUp() override {
        link.reset(aLink_Create(fake.stream()));
        ASSERT_NE(link.get(), 0u);
        ASSERT_TRUE(fake.waitForWritten(3, 1000ms)); // routing on, before any log
    }
    // Writes entries of 28 data bytes until more were written than fit, and counts what a
    // full read-out returns: the log's room in entries of 30 bytes.
    int entriesKept() {
        uint8_t data[28] = {};
        for (int i = 0; i < 3000; ++i)
            EXPECT_EQ(aLink_PacketDebug_Write(link.get(), 3, 28, data), aErrNone);
        int kept = 0;
        uint8_t tag = 0, length = 28, buffer[28];
        while (aLink_PacketDebug_Read(link.get(), &tag, &length, buffer) == aErrNone) {
            ++kept;
            length = 28;
        }
        return kept;
    }
    ScriptedLinkStream fake;
    LinkOwner link;
};

TEST_F(PacketDebugLog, CallsBeforeTheLogExists) {
    uint8_t tag = 0, length = 8, buffer[8];
    EXPECT_EQ(aLink_PacketDebug_Read(link.get(), &tag, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(link.get(), 3, 1, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(link.get()), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.get(), 0x4000001), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(999, 100), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Enable(999), aErrParam);
}

TEST_F(PacketDebugLog, DefaultSizeIs64KiBAndFixedOnceEnabled) {
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.get(), -5), aErrNone); // taken as "not set"
    ASSERT_EQ(aLink_PacketDebug_Enable(link.get()), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.get(), 300), aErrBusy);
    EXPECT_EQ(entriesKept(), (0x10000 - 1) / 30);
}

TEST_F(PacketDebugLog, SizeSetBeforeEnableIsUsed) {
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(link.get(), 300), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link.get()), aErrNone);
    EXPECT_EQ(entriesKept(), 299 / 30);
}

TEST_F(PacketDebugLog, RecordsSentAndReceivedPacketsWhileEnabled) {
    ASSERT_EQ(aLink_PacketDebug_Enable(link.get()), aErrNone);
    ASSERT_EQ(aLink_PutPacket(link.get(), makePacket(4, {0x11, 0x22}).get()), aErrNone);
    ASSERT_TRUE(fake.waitForWritten(3 + 4, 1000ms));
    fake.feed({4, 1, 0x33});
    PacketPtr received(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(received, nullptr);

    uint8_t tag = 0, length = 30, buffer[30];
    ASSERT_EQ(aLink_PacketDebug_Read(link.get(), &tag, &length, buffer), aErrNone);
    EXPECT_EQ(tag, 1);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length),
              (std::vector<uint8_t>{4, 2, 0x11, 0x22}));
    length = 30;
    ASSERT_EQ(aLink_PacketDebug_Read(link.get(), &tag, &length, buffer), aErrNone);
    EXPECT_EQ(tag, 2);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), (std::vector<uint8_t>{4, 1, 0x33}));

    // Disabled, the link records nothing more; entries of the caller's own still go in.
    ASSERT_EQ(aLink_PacketDebug_Disable(link.get()), aErrNone);
    fake.feed({4, 1, 0x44});
    PacketPtr more(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(more, nullptr);
    const uint8_t start[] = {'S', 'T', 'A', 'R', 'T', 0};
    ASSERT_EQ(aLink_PacketDebug_Write(link.get(), 3, sizeof start, start), aErrNone);
    length = 30;
    ASSERT_EQ(aLink_PacketDebug_Read(link.get(), &tag, &length, buffer), aErrNone);
    EXPECT_EQ(tag, 3);
    EXPECT_EQ(length, sizeof start);
    length = 30;
    EXPECT_EQ(aLink_PacketDebug_Read(link.get(), &tag, &length, buffer), aErrNotFound);
}

} // namespace
