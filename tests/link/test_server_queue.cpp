// The sharing server's dispatch without sockets or clocks: which request a module's packet
// answers, who gets the packets that answer nothing, how clients take turns and how much one
// client may hold, and how a client's UEIBytes run is held, checked, aged and bounded.
#include "aServerQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace corvane::server;
using Outcome = BytesPool::Outcome;
using Ids = std::vector<ClientId>;

constexpr uint8_t kModule = 2;
constexpr uint8_t kMute = 0x10; // nothing answers at this address

aPacket packet(uint8_t address, std::vector<uint8_t> data) {
    aPacket p{};
    p.check = aPACKET_CHECK;
    p.address = address;
    p.length = static_cast<uint8_t>(data.size());
    p.count = static_cast<uint8_t>(p.length + 2);
    for (std::size_t i = 0; i < data.size(); ++i)
        p.data[i] = data[i];
    return p;
}

const aPacket kAddressRequest = packet(0xAD, {});
const aPacket kModelGet = packet(kModule, {3, 0x48, 0x20});
const aPacket kModelValue = packet(kModule, {3, 0x08, 0x00, 0x13});

// A UEIBytes packet of the test entity: 24 data bytes (length 28) when full, else 4 (length 8).
aPacket bytesPacket(uint8_t control, bool full = true) {
    std::vector<uint8_t> data(full ? 28 : 8, 0x55);
    data[0] = 0x22;
    data[1] = 0x80 | 10;
    data[2] = 0x20;
    data.back() = control;
    return packet(kModule, data);
}

// Sends every request the dispatcher lets go; returns their askers in order.
Ids drain(Dispatcher& d, Ticks now = 0) {
    Ids askers;
    Request r;
    while (d.next(r, now))
        askers.push_back(r.asker);
    return askers;
}

TEST(ServerExpectation, AnswersAreTheirRequestsOwn) {
    struct Case {
        const char* what;
        aPacket request, reply;
        bool answers;
    } const cases[] = {
        {"address: an empty packet", kAddressRequest, packet(4, {}), true},
        {"address: not a packet with data", kAddressRequest, packet(4, {0}), false},
        {"get: its value", kModelGet, kModelValue, true},
        {"get: its error", kModelGet, packet(kModule, {3, 0x08, 0x80, 29}), true},
        {"get: not an acknowledgement", kModelGet, packet(kModule, {3, 0xC8, 0x00}), false},
        {"get: not another option", kModelGet, packet(kModule, {3, 0x09, 0x00, 1}), false},
        {"get: not another index", kModelGet, packet(kModule, {3, 0x08, 0x01, 1}), false},
        {"get: not another module", kModelGet, packet(4, {3, 0x08, 0x00, 1}), false},
        {"get: not a stream packet", kModelGet,
         packet(kModule, {3, 0x08, 0x40, 1, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0}), false},
        {"set: its acknowledgement", packet(kModule, {30, 0x81, 0x22, 5}),
         packet(kModule, {30, 0xC1, 0x02}), true},
        {"set: not a value", packet(kModule, {30, 0x81, 0x22, 5}),
         packet(kModule, {30, 0x01, 2, 5}), false},
        {"module query: same command", packet(kModule, {73, 0xFF}),
         packet(kModule, {73, 0xFF, 0, 0, 1, 2}), true},
        {"module query: not another", packet(kModule, {73, 0xFF}), packet(kModule, {23, 1}), false},
        {"routing: nothing", packet(0xAF, {1}), packet(kModule, {}), false},
        {"middle of a byte run: nothing", bytesPacket(0x85), bytesPacket(0x85), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(answers(expectationOf(c.request), c.reply), c.answers) << c.what;
    EXPECT_TRUE(overlap(expectationOf(kModelGet), expectationOf(packet(kModule, {3, 0x48, 0x20}))));
    EXPECT_FALSE(
        overlap(expectationOf(kModelGet), expectationOf(packet(kModule, {3, 0x88, 0x20}))));
}

TEST(ServerDispatch, EveryPacketOfAnAnswerGoesToItsAskerAndUnaskedValuesToWhoTalkedToThem) {
    Dispatcher d;
    ASSERT_EQ(d.take("a", kAddressRequest, 0), Dispatcher::Taken::queued);
    ASSERT_EQ(d.take("b", kModelGet, 0), Dispatcher::Taken::queued);
    ASSERT_EQ(d.take("c", packet(kModule, {30, 0x81, 0x20}), 0), Dispatcher::Taken::queued);
    EXPECT_EQ(drain(d), (Ids{"a", "b", "c"})) << "nothing one packet could answer twice";

    // The address answer is two packets; neither is b's.
    const struct {
        aPacket from;
        bool answer;
        Ids to;
    } steps[] = {
        {packet(kModule, {}), true, {"a"}},
        {packet(kModule, {}), true, {"a"}},
        {kModelValue, true, {"b"}},
        {packet(kModule, {30, 0xC1, 0x00}), true, {"c"}},
        // What the call set going: c talked to command 30 of the module, no one else did.
        {packet(kModule, {30, 0x02, 0x00, 0, 0, 0, 42}), false, {"c"}},
        {kModelValue, false, {"b"}}, // a duplicate: b asked about command 3 lately
        {packet(kModule, {}), false, {}},
        {packet(4, {30, 0x02, 0x00, 1}), false, {}},
    };
    for (const auto& step : steps) {
        const Dispatcher::Delivery delivery = d.route(step.from, 1);
        EXPECT_EQ(delivery.answer, step.answer);
        EXPECT_EQ(delivery.to, step.to);
    }
    EXPECT_EQ(d.withModule(), 0u);
}

TEST(ServerDispatch, AFloodToAMuteAddressHoldsUpOnlyItsSender) {
    Dispatcher d;
    int refused = 0;
    for (uint8_t i = 0; i < 30; ++i)
        refused += d.take("flood", packet(kMute, {30, 0x41, static_cast<uint8_t>(0x20 | i)}), 0) ==
                   Dispatcher::Taken::refused;
    EXPECT_EQ(refused, 30 - static_cast<int>(Dispatcher::kMaxWaitingPerClient));
    EXPECT_EQ(drain(d).size(), Dispatcher::kMaxWithModulePerClient);

    ASSERT_EQ(d.take("polite", kModelGet, 0), Dispatcher::Taken::queued);
    EXPECT_EQ(drain(d), Ids{"polite"}) << "served at once, beside the flood";
    EXPECT_EQ(d.route(kModelValue, 5).to, Ids{"polite"});

    // Requests that one answer could answer both go in turn, and no client twice in a row.
    for (const char* client : {"x", "x", "y"})
        ASSERT_EQ(d.take(client, kModelGet, 10), Dispatcher::Taken::queued);
    std::vector<Ids> rounds;
    for (Ticks t = 10; t < 13; ++t) {
        rounds.push_back(drain(d, t));
        d.route(kModelValue, t);
    }
    EXPECT_EQ(rounds, (std::vector<Ids>{{"x"}, {"y"}, {"x"}}));

    // The flood's requests are given up on after the reply wait, and the next ones go.
    EXPECT_EQ(d.msUntilExpiry(13), static_cast<int>(Dispatcher::kReplyWaitMs) - 13);
    d.expire(Dispatcher::kReplyWaitMs - 1);
    EXPECT_EQ(d.withModule(), Dispatcher::kMaxWithModulePerClient);
    d.expire(Dispatcher::kReplyWaitMs);
    EXPECT_EQ(drain(d, Dispatcher::kReplyWaitMs).size(), Dispatcher::kMaxWithModulePerClient);
    // A late answer still reaches its asker alone.
    EXPECT_EQ(d.route(packet(kMute, {30, 0x00, 0x00, 9}), 2100).to, Ids{"flood"});
}

TEST(ServerDispatch, BoundsWhatIsKeptForClientsAndForgetsTheGone) {
    Dispatcher d;
    const aPacket mute = packet(kMute, {30, 0x41, 0x20});
    std::size_t queued = 0;
    for (int client = 0; queued < Dispatcher::kMaxWaiting; ++client)
        for (std::size_t i = 0; i < Dispatcher::kMaxWaitingPerClient; ++i)
            queued += d.take("c" + std::to_string(client), mute, 0) == Dispatcher::Taken::queued;
    EXPECT_EQ(d.take("late", mute, 0), Dispatcher::Taken::refused);
    EXPECT_EQ(d.waiting(), Dispatcher::kMaxWaiting);
    d.clear();

    const aPacket enable = packet(kModule, {93, 0x81, 0x20, 0, 0, 0, 0});
    for (std::size_t i = 0; i <= Dispatcher::kMaxSubscribers; ++i)
        d.take("s" + std::to_string(i), enable, static_cast<Ticks>(i));
    ASSERT_EQ(d.subscribers().size(), Dispatcher::kMaxSubscribers);
    EXPECT_EQ(d.subscribers().front(), "s1") << "the longest subscribed made room";
    d.forget("s7");
    EXPECT_EQ(d.subscribers().size(), Dispatcher::kMaxSubscribers - 1);
    drain(d);
    EXPECT_TRUE(d.route(packet(kModule, {93, 0xC1, 0x00}), 1).answer);

    // The client table keeps its bound by letting the idlest client go.
    for (std::size_t i = 0; i < 2 * Dispatcher::kMaxClients; ++i)
        d.take("t" + std::to_string(i), kModelGet, 100 + static_cast<Ticks>(i));
    EXPECT_LE(d.clients(), Dispatcher::kMaxClients);
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

TEST(ServerBytesPool, ForgetsARunAfterTwoThousandOffersOfOthers) {
    for (const int others : {BytesPool::kTimeToLive, BytesPool::kTimeToLive + 1}) {
        BytesPool pool;
        std::vector<aPacket> run;
        ASSERT_EQ(pool.offer("slow", bytesPacket(0x80), run), Outcome::held);
        for (int i = 0; i < others; ++i)
            ASSERT_EQ(pool.offer("busy", bytesPacket(0x00, false), run), Outcome::notPooled);
        const Outcome last = pool.offer("slow", bytesPacket(0x01, false), run);
        EXPECT_EQ(last, others == BytesPool::kTimeToLive ? Outcome::complete : Outcome::notPooled)
            << others << " offers after the run began";
    }
}

TEST(ServerBytesPool, DropsARunThatOutgrowsItsBound) {
    BytesPool pool;
    std::vector<aPacket> run;
    ASSERT_EQ(pool.offer("a", bytesPacket(0x80), run), Outcome::held);
    for (std::size_t i = 1; i < BytesPool::kMaxPackets; ++i)
        ASSERT_EQ(pool.offer("a", bytesPacket(static_cast<uint8_t>(0x80 | (i & 0x7F))), run),
                  Outcome::held)
            << "a run that goes on stays, however long it takes: packet " << i;
    const auto next = static_cast<uint8_t>(BytesPool::kMaxPackets & 0x7F);
    EXPECT_EQ(pool.offer("a", bytesPacket(next, false), run), Outcome::dropped);
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_TRUE(run.empty());
}

} // namespace
