// The sharing server's request queue and UEIBytes pool, without sockets: how many requests may
// wait, and how a client's byte run is held, checked, aged and bounded.
#include "aServerQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using corvane::server::BytesPool;
using corvane::server::ClientId;
using corvane::server::Request;
using corvane::server::RequestQueue;
using Outcome = BytesPool::Outcome;

// A UEIBytes packet of the test entity: 24 data bytes (length 28) when full, else 4 (length 8).
aPacket bytesPacket(uint8_t control, bool full = true) {
    aPacket p{};
    p.check = aPACKET_CHECK;
    p.address = 2;
    p.length = full ? 28 : 8;
    p.count = static_cast<uint8_t>(p.length + 2);
    p.data[0] = 0x22;
    p.data[1] = 0x80 | 10;
    p.data[2] = 0x20;
    p.data[p.length - 1] = control;
    return p;
}

TEST(ServerRequestQueue, RefusesTheRequestBeyondTheThousandthAndHandsOutOldestFirst) {
    RequestQueue queue;
    for (std::size_t i = 0; i < RequestQueue::kMaxWaiting; ++i)
        ASSERT_TRUE(queue.push(Request{ClientId(1, static_cast<char>(i % 7)), {bytesPacket(0)}}));
    EXPECT_FALSE(queue.push(Request{"late", {bytesPacket(0)}}));
    EXPECT_EQ(queue.size(), RequestQueue::kMaxWaiting);

    queue.forgetAskers();
    Request first;
    ASSERT_TRUE(queue.pop(first));
    EXPECT_TRUE(first.asker.empty()) << "a flushed request is owed to no one";
    EXPECT_TRUE(queue.push(Request{"again", {bytesPacket(0)}})) << "room again after a pop";
    Request taken;
    while (queue.pop(taken)) {
    }
    EXPECT_EQ(taken.asker, "again");
    EXPECT_EQ(queue.size(), 0u);
}

TEST(ServerBytesPool, HoldsARunUntilItsLastPacketAndDropsOneOutOfSequence) {
    BytesPool pool;
    std::vector<aPacket> run;
    EXPECT_EQ(pool.offer("a", bytesPacket(0x81), run), Outcome::notPooled)
        << "only sequence 0 with more to come starts a run";
    EXPECT_EQ(pool.offer("a", bytesPacket(0x02, false), run), Outcome::notPooled);
    ASSERT_EQ(pool.offer("a", bytesPacket(0x80), run), Outcome::held);
    ASSERT_EQ(pool.offer("b", bytesPacket(0x80), run), Outcome::held) << "one run per client";
    EXPECT_EQ(pool.offer("a", bytesPacket(0x82), run), Outcome::dropped) << "1 is next";
    EXPECT_EQ(pool.offer("a", bytesPacket(0x81), run), Outcome::held);
    ASSERT_EQ(pool.offer("a", bytesPacket(0x02, false), run), Outcome::complete);
    ASSERT_EQ(run.size(), 3u);
    for (std::size_t i = 0; i < run.size(); ++i)
        EXPECT_EQ(run[i].data[run[i].length - 1] & 0x7F, i);
    EXPECT_EQ(pool.size(), 1u) << "b's run waits on";
}

TEST(ServerBytesPool, ForgetsARunAfterTwoThousandOtherOffers) {
    for (const int others : {BytesPool::kTimeToLive, BytesPool::kTimeToLive + 1}) {
        BytesPool pool;
        std::vector<aPacket> run;
        ASSERT_EQ(pool.offer("slow", bytesPacket(0x80), run), Outcome::held);
        for (int i = 0; i < others - 1; ++i)
            ASSERT_EQ(pool.offer("busy", bytesPacket(0x00, false), run), Outcome::notPooled);
        const Outcome last = pool.offer("slow", bytesPacket(0x01, false), run);
        EXPECT_EQ(last, others == BytesPool::kTimeToLive ? Outcome::complete : Outcome::notPooled)
            << others << " offers after the run began";
    }
}

} // namespace
