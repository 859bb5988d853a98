// Store slots and factory data over a Corvane::Link against the virtual module: run layouts,
// checksums, overruns and the end-of-transfer counts.
#include "ObjectPeer.h"

#include <numeric>

using namespace objecttest;
using Corvane::Tools::ModelFaults;

namespace {

class StoreSlots : public ConnectedModule {
  protected:
    std::vector<uint8_t> bytes(std::size_t n) {
        std::vector<uint8_t> data(n);
        std::iota(data.begin(), data.end(), uint8_t{0xF0});
        return data;
    }
};

TEST_F(StoreSlots, LoadSendsChecksummedRunsThenCloses) {
    const auto data = bytes(60);
    ASSERT_EQ(link->loadStoreSlot(2, 0, 1, data.data(), 60), aErrNone);
    EXPECT_EQ(peer->model().slot(0, 1), data);
    const auto sent = peer->received(4);
    ASSERT_EQ(sent.size(), 5u); // open, three runs, close
    EXPECT_EQ(sent[0], WirePacket(2, {4, 4, 0, 1}));
    const uint8_t handle = sent[1].data[2];
    const std::size_t runs[] = {25, 25, 10};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[1 + i].data[1], 7);
        EXPECT_EQ(sent[1 + i].length, 3 + runs[i]);
    }
    EXPECT_EQ(sent[4], WirePacket(2, {4, 8, handle}));

    uint32_t size = 0, capacity = 0;
    EXPECT_EQ(link->storeSlotSize(2, 0, 1, &size), aErrNone);
    EXPECT_EQ(size, 60u);
    EXPECT_EQ(link->storeSlotCapacity(2, 0, 1, &capacity), aErrNone);
    EXPECT_EQ(capacity, 1024u);
    EXPECT_EQ(link->storeSlotSize(2, 9, 9, &size), aErrNotFound);
    EXPECT_EQ(link->storeSlotSize(2, 0, 1, nullptr), aErrParam);
}

TEST_F(StoreSlots, WrongChecksumStopsTheRunsButStillCloses) {
    ModelFaults faults;
    faults.badSlotChecksum = 2;
    peer->model().setFaults(faults);
    const auto data = bytes(60);
    EXPECT_EQ(link->loadStoreSlot(2, 0, 1, data.data(), 60), aErrIO);
    const auto sent = peer->received(4);
    ASSERT_EQ(sent.size(), 4u); // open, two runs, close
    EXPECT_EQ(sent[3].data[1], 8);
    // The slot is closed: the next load opens it again and succeeds.
    EXPECT_EQ(link->loadStoreSlot(2, 0, 1, data.data(), 60), aErrNone);
    EXPECT_EQ(link->loadStoreSlot(2, 1, 0, data.data(), 65), aErrOverrun);
    EXPECT_EQ(link->loadStoreSlot(2, 7, 7, data.data(), 1), aErrMedia);
}

TEST_F(StoreSlots, UnloadStopsAtTheBuffer) {
    const auto stored = *peer->model().slot(0, 0);
    ASSERT_EQ(stored.size(), 30u);
    uint8_t small[10] = {};
    uint32_t unloaded = 0;
    EXPECT_EQ(link->unloadStoreSlot(2, 0, 0, small, sizeof small, &unloaded), aErrOverrun);
    EXPECT_EQ(unloaded, 10u);
    EXPECT_TRUE(std::equal(small, small + 10, stored.begin()));

    uint8_t large[64] = {};
    EXPECT_EQ(link->unloadStoreSlot(2, 0, 0, large, sizeof large, &unloaded), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(large, large + unloaded), stored);
    EXPECT_EQ(link->unloadStoreSlot(2, 0, 0, nullptr, 4, &unloaded), aErrParam);
}

TEST_F(StoreSlots, UnloadReportsAReadThatGetsNoReply) {
    ModelFaults faults;
    faults.silentUei = {true, 4, 6}; // reads go unanswered
    peer->model().setFaults(faults);
    uint8_t buffer[64] = {};
    uint32_t unloaded = 99;
    EXPECT_EQ(link->unloadStoreSlot(2, 0, 0, buffer, sizeof buffer, &unloaded), aErrTimeout);
    EXPECT_EQ(unloaded, 0u);
}

class FactoryData : public ConnectedModule {};

TEST_F(FactoryData, ReadsRunsOf26BytesAndEndsWithTheCount) {
    const auto block0 = *peer->model().factoryBlock(0);
    ASSERT_EQ(block0.size(), 60u);
    uint8_t buffer[128] = {};
    uint32_t unloaded = 0;
    ASSERT_EQ(link->getFactoryData(2, 0, buffer, sizeof buffer, &unloaded), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + unloaded), block0);
    auto sent = peer->received(94);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], WirePacket(2, {94, 0x40}));
    EXPECT_EQ(sent[1], WirePacket(2, {94, 0x00}));
    EXPECT_EQ(sent[3], WirePacket(2, {94, 0x20, 0, 60}));

    // 52 bytes: two full replies, then one without data.
    ASSERT_EQ(link->getFactoryData(2, 1, buffer, sizeof buffer, &unloaded), aErrNone);
    EXPECT_EQ(unloaded, 52u);
    EXPECT_EQ(peer->received(94).size(), 8u);

    EXPECT_EQ(link->getFactoryData(2, 0, buffer, 40, &unloaded), aErrOverrun);
    EXPECT_EQ(link->getFactoryData(2, 9, buffer, sizeof buffer, &unloaded), aErrNotFound);
    EXPECT_EQ(link->getFactoryData(2, 16, buffer, sizeof buffer, &unloaded), aErrParam);
}

TEST_F(FactoryData, WritesRunsAndTheModuleKeepsThem) {
    std::vector<uint8_t> data(60);
    std::iota(data.begin(), data.end(), uint8_t{7});
    ASSERT_EQ(link->setFactoryData(2, 2, data.data(), 60), aErrNone);
    EXPECT_EQ(peer->model().factoryBlock(2), data);
    const auto sent = peer->received(94);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].data[1], 0x52);
    EXPECT_EQ(sent[0].length, 28);
    EXPECT_EQ(sent[1].data[1], 0x12);
    EXPECT_EQ(sent[2].length, 10);
    EXPECT_EQ(sent[3], WirePacket(2, {94, 0x20, 0, 60}));

    std::vector<uint8_t> tooLong(300, 1);
    EXPECT_EQ(link->setFactoryData(2, 2, tooLong.data(), 300), aErrOverrun);
    ModelFaults faults;
    faults.silentUei = {true, 94, 2};
    peer->model().setFaults(faults);
    EXPECT_EQ(link->setFactoryData(2, 2, data.data(), 10), aErrTimeout);
}

} // namespace
