// Packet FIFOs: ordering, the 1000-packet rule, waits with time-outs and filters, drain, and
// destroy while another thread waits.
#include "corvane/aPacketFifo.h"

#include "aPacketFifoInternal.h"

#include "PacketTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PacketFifo : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(fifo, 0u); }
    void TearDown() override {
        if (fifo != 0) {
            EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
        }
    }
    void put(uint8_t address, uint8_t cmd) {
        ASSERT_EQ(aPacketFifo_Put(fifo, makePacket(address, {cmd}).get()), aErrNone);
    }
    aPacketFifoId fifo = aPacketFifo_Create();
};

bool cmdIs(const aPacket* packet, void* reference) {
    return packet->length > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
}
bool any(const aPacket*, void*) {
    return true;
}
// Counts its calls and matches command 0xEE only.
bool countCalls(const aPacket* packet, void* reference) {
    ++*static_cast<int*>(reference);
    return packet->data[0] == 0xEE;
}

TEST_F(PacketFifo, IdentifiersAreDistinctAndNonZero) {
    aPacketFifoId other = aPacketFifo_Create();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, fifo);
    EXPECT_EQ(aPacketFifo_Destroy(&other), aErrNone);
    EXPECT_EQ(other, 0u);
}

TEST_F(PacketFifo, PutCopiesAndGetReturnsOldestFirst) {
    PacketPtr mine = makePacket(4, {1});
    ASSERT_EQ(aPacketFifo_Put(fifo, mine.get()), aErrNone);
    mine->data[0] = 99; // the FIFO holds its own copy
    put(4, 2);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
    PacketPtr first(aPacketFifo_Get(fifo));
    PacketPtr second(aPacketFifo_Get(fifo));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->data[0], 1);
    EXPECT_EQ(second->data[0], 2);
    EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
}

TEST_F(PacketFifo, RejectsBadArgumentsAndUnknownIdentifiers) {
    aPacket forged{};
    EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo, &forged), aErrParam);
    aPacketFifoId gone = aPacketFifo_Create();
    aPacketFifoId stale = gone;
    ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
    EXPECT_EQ(aPacketFifo_Put(stale, makePacket(4, {1}).get()), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(stale), 0u);
    EXPECT_EQ(aPacketFifo_Get(stale), nullptr);
    EXPECT_EQ(aPacketFifo_Await(stale, 50), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(stale, any, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST_F(PacketFifo, TheThousandAndFirstPutEmptiesTheFifo) {
    for (int i = 0; i < aPACKETFIFO_MAXPACKETS; ++i) {
        put(4, static_cast<uint8_t>(i));
    }
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
    put(4, 0xEE);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
    // The FIFO is usable again, and a first-match sees only what comes after.
    put(4, 7);
    uint8_t wanted = 7;
    PacketPtr p(aPacketFifo_AwaitFirst(fifo, cmdIs, &wanted, 0));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[0], 7);
}

// With no time to wait, a look at the FIFO is all there is: a packet put once the look is over,
// which would end any wait on the FIFO, is never seen.
TEST_F(PacketFifo, AwaitWithZeroTimeoutReturnsAtOnce) {
    EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
    struct Look {
        int calls = 0;
        std::promise<void> done;
    } look;
    put(4, 1);
    std::thread producer([&] {
        look.done.get_future().wait();
        put(4, 0xEE); // takes the FIFO's lock, which a waiting await gives up
    });
    const aPacketFilter lookOnce = [](const aPacket* packet, void* reference) {
        auto* look = static_cast<Look*>(reference);
        if (++look->calls == 1)
            look->done.set_value();
        return packet->data[0] == 0xEE;
    };
    PacketPtr seen(aPacketFifo_AwaitFirst(fifo, lookOnce, &look, 0));
    producer.join();
    EXPECT_FALSE(seen);
    EXPECT_EQ(look.calls, 1);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
}

TEST_F(PacketFifo, AwaitReturnsAPacketPutByAnotherThread) {
    std::thread producer([this] {
        std::this_thread::sleep_for(30ms);
        put(4, 0x42);
    });
    PacketPtr p(aPacketFifo_Await(fifo, 5000));
    producer.join();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[0], 0x42);
}

TEST_F(PacketFifo, AwaitTimesOutWithNull) {
    auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo, 60), nullptr);
    EXPECT_GE(Clock::now() - start, 60ms);
}

TEST_F(PacketFifo, AwaitFirstFindsAMatchBehindOthersAndKeepsTheirOrder) {
    put(4, 1);
    put(4, 2);
    std::thread producer([this] {
        std::this_thread::sleep_for(20ms);
        put(4, 3);
        put(4, 9);
        put(4, 4);
    });
    uint8_t wanted = 9;
    PacketPtr match(aPacketFifo_AwaitFirst(fifo, cmdIs, &wanted, 5000));
    producer.join();
    ASSERT_TRUE(match);
    EXPECT_EQ(match->data[0], 9);
    ASSERT_EQ(aPacketFifo_GetLength(fifo), 4u);
    for (uint8_t expected : {1, 2, 3, 4}) {
        PacketPtr p(aPacketFifo_Get(fifo));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->data[0], expected);
    }
}

TEST_F(PacketFifo, AwaitFirstOffersEachPacketOnce) {
    for (uint8_t i = 0; i < 5; ++i) {
        put(4, i);
    }
    // Packets arrive while the wait goes on; the last one is the match that ends it.
    std::thread producer([&] {
        for (uint8_t i = 5; i < 25; ++i) {
            std::this_thread::sleep_for(1ms);
            put(4, i);
        }
        put(4, 0xEE);
    });
    int calls = 0;
    PacketPtr match(aPacketFifo_AwaitFirst(fifo, countCalls, &calls, 60000));
    producer.join();
    ASSERT_TRUE(match);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 25u);
    EXPECT_EQ(calls, 26);
}

TEST_F(PacketFifo, GetFirstWithoutMatchLeavesEverything) {
    put(4, 1);
    uint8_t wanted = 5;
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, cmdIs, &wanted), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, nullptr, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
}

TEST_F(PacketFifo, DrainRemovesMatchesAndKeepsTheRestInOrder) {
    for (uint8_t cmd : {1, 5, 2, 5, 3}) {
        put(4, cmd);
    }
    uint8_t five = 5;
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, cmdIs, &five), 2u);
    for (uint8_t expected : {1, 2}) {
        PacketPtr p(aPacketFifo_Get(fifo));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->data[0], expected);
    }
    // The first-match bookkeeping follows the new front.
    uint8_t three = 3;
    PacketPtr last(aPacketFifo_GetFirst(fifo, cmdIs, &three));
    ASSERT_TRUE(last);
    put(4, 8);
    put(4, 8);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, any, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(PacketFifo, DestroyWakesWaitersPromptly) {
    std::atomic<int> nulls{0};
    uint8_t never = 0xFF;
    const aPacketFifoId id = fifo; // the destroy below clears the fixture's copy
    std::thread awaiting([&] { nulls += !PacketPtr(aPacketFifo_Await(id, 10000)); });
    std::thread matching(
        [&] { nulls += !PacketPtr(aPacketFifo_AwaitFirst(id, cmdIs, &never, 10000)); });
    std::this_thread::sleep_for(50ms); // most likely both wait by now; it holds either way
    put(4, 1);                         // wakes the first-match without satisfying it
    auto start = Clock::now();
    // Await may have taken the packet; either way both end with the FIFO's destruction.
    ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    awaiting.join();
    matching.join();
    EXPECT_LT(Clock::now() - start, 9s); // well before the waits' own 10 s
    EXPECT_GE(nulls.load(), 1);
}

} // namespace

namespace {

// Takes packets of command 0xAA until one of command 0xAB, which ends the run.
aRunVerdict takeAaToAb(const aPacket* packet, void* reference) {
    ++*static_cast<int*>(reference);
    if (packet->data[0] == 0xAB)
        return aRunVerdict::takeLast;
    return packet->data[0] == 0xAA ? aRunVerdict::take : aRunVerdict::skip;
}

TEST_F(PacketFifo, BatchesKeepTheRulesOfSinglePuts) {
    std::vector<aPacket> batch;
    for (int i = 0; i < 600; ++i)
        batch.push_back(*makePacket(2, {static_cast<uint8_t>(i)}));
    ASSERT_EQ(aPacketFifo_PutAll(fifo, batch.data(), 600), aErrNone);
    EXPECT_EQ(aPacketFifo_AwaitRoom(fifo, 400, 0), aErrNone);
    EXPECT_EQ(aPacketFifo_AwaitRoom(fifo, 401, 0), aErrTimeout);
    // The 1001st packet of a batch empties the FIFO, and the rest of the batch fills it again.
    ASSERT_EQ(aPacketFifo_PutAll(fifo, batch.data(), 600), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 199u);

    aPacket out[300];
    ASSERT_EQ(aPacketFifo_TakeUpTo(fifo, out, 300, 0), 199u);
    EXPECT_EQ(out[0].data[0], 401 % 256);
    EXPECT_EQ(out[198].data[0], 599 % 256);
    EXPECT_EQ(aPacketFifo_TakeUpTo(fifo, out, 300, 0), 0u);
}

TEST_F(PacketFifo, AwaitRunTakesItsPacketsAndLeavesTheOthersInOrder) {
    for (uint8_t cmd : {0x01, 0xAA, 0x02, 0xAA, 0xAB, 0xAA, 0x03})
        put(2, cmd);
    int offered = 0;
    EXPECT_EQ(aPacketFifo_AwaitRun(fifo, takeAaToAb, &offered, 0), 3u);
    EXPECT_EQ(offered, 5); // nothing behind the last of the run is offered
    for (uint8_t cmd : {0x01, 0x02, 0xAA, 0x03}) {
        PacketPtr packet(aPacketFifo_Get(fifo));
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->data[0], cmd);
    }
    // Most likely the await sleeps by the time the last packet comes; it holds either way.
    std::thread later([&] {
        std::this_thread::sleep_for(20ms);
        put(2, 0xAB);
    });
    EXPECT_EQ(aPacketFifo_AwaitRun(fifo, takeAaToAb, &offered, 5000), 1u);
    later.join();
}

} // namespace

namespace {

// Waits that end early once a counter moves: a packet there still comes first, a moved counter
// ends the wait with nothing, and a waiter asleep is woken for it; whichever of the waits.
TEST_F(PacketFifo, WaitsEndOnceTheirCounterMoves) {
    const std::vector<std::function<bool(const std::atomic<uint64_t>&, uint64_t, uint32_t)>> waits =
        {
            [&](const std::atomic<uint64_t>& counter, uint64_t seen, uint32_t ms) {
                uint8_t wanted = 0xEE;
                return PacketPtr(aPacketFifo_AwaitFirstUnless(fifo, cmdIs, &wanted, ms, counter,
                                                              seen)) != nullptr;
            },
            [&](const std::atomic<uint64_t>& counter, uint64_t seen, uint32_t ms) {
                uint8_t wanted = 0xEE;
                aPacket into{};
                return aPacketFifo_AwaitFirstUnlessInto(fifo, cmdIs, &wanted, ms, counter, seen,
                                                        &into) &&
                       aVALIDPACKET(&into) && into.data[0] == wanted;
            },
            [&](const std::atomic<uint64_t>& counter, uint64_t seen, uint32_t ms) {
                int offered = 0;
                return aPacketFifo_AwaitRunUnless(fifo, takeAaToAb, &offered, ms, counter, seen) >
                       0;
            },
        };
    for (const auto& wait : waits) {
        std::atomic<uint64_t> counter{1};
        put(2, 0xEE);
        put(2, 0xAB);
        EXPECT_TRUE(wait(counter, 0, 0)) << "a match is taken whatever the counter";
        EXPECT_FALSE(wait(counter, 0, 60000)) << "a moved counter ends the wait at once";
        auto asleep = std::async(std::launch::async, [&] { return wait(counter, 1, 60000); });
        std::this_thread::sleep_for(20ms); // most likely asleep by now; it holds either way
        ++counter;
        aPacketFifo_WakeWaiters(fifo);
        ASSERT_EQ(asleep.wait_for(30s), std::future_status::ready);
        EXPECT_FALSE(asleep.get());
        aPacketFifo_DrainPackets(fifo, any, nullptr);
    }
}

TEST_F(PacketFifo, AwaitEmptyWaitsUntilEverythingIsTaken) {
    EXPECT_TRUE(aPacketFifo_AwaitEmpty(fifo, 0));
    put(2, 1);
    EXPECT_FALSE(aPacketFifo_AwaitEmpty(fifo, 10));
    std::thread taker([&] {
        std::this_thread::sleep_for(20ms);
        PacketPtr taken(aPacketFifo_Get(fifo));
    });
    EXPECT_TRUE(aPacketFifo_AwaitEmpty(fifo, 60000));
    taker.join();
    EXPECT_FALSE(aPacketFifo_AwaitEmpty(0, 0));
}

} // namespace
