// The link reader against a scripted stream: synchronisation, where the bytes of each read went,
// heartbeat answers, the user packet filter, first-match waits and the module address and model
// queries.
#include "aLinkEngine.h"
#include "aLinkInternal.h"
#include "aLinkSync.h"
#include "corvane/aLink.h"
#include "corvane/aPacketFifo.h"

#include "LinkTestSupport.h"
#include "PacketTestSupport.h"
#include "ScriptedLinkStream.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::vector<uint8_t> kSixRequests = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

// ---- The synchronisation state machine, step by step with made-up times ----

using corvane::link::SyncAction;

struct SyncStep {
    int atMs; // time of the event, from the machine's start
    int byte; // a received byte, or -1 for a read that found none
    SyncAction expected;
};

struct SyncScript {
    const char* name;
    std::vector<SyncStep> steps;
};

class SyncMachine : public ::testing::TestWithParam<SyncScript> {};

TEST_P(SyncMachine, FollowsTheScript) {
    const corvane::link::SyncPace pace{200ms, 50ms};
    const auto origin = std::chrono::steady_clock::time_point{} + 1h;
    corvane::link::SyncProgress sync;
    // Knocked out of step at time 0: the first requests go out.
    ASSERT_EQ(corvane::link::syncRestart(sync, origin, pace.respace), SyncAction::SendRequests);
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        const SyncStep& step = GetParam().steps[i];
        const auto now = origin + std::chrono::milliseconds(step.atMs);
        const SyncAction action =
            step.byte < 0
                ? corvane::link::syncOnSilence(sync, now, pace)
                : corvane::link::syncOnByte(sync, static_cast<uint8_t>(step.byte), now, pace);
        EXPECT_EQ(action, step.expected) << "step " << i;
    }
}

constexpr auto kNone = SyncAction::None;
constexpr auto kSend = SyncAction::SendRequests;
constexpr auto kWait = SyncAction::Restarted;
constexpr auto kInStep = SyncAction::InStep;

INSTANTIATE_TEST_SUITE_P(
    Scripts, SyncMachine,
    ::testing::Values(
        SyncScript{"AddressZeroAddressZero",
                   {{1, 4, kNone}, {1, 0, kNone}, {1, 4, kNone}, {1, 0, kInStep}}},
        // 6 is not the 4 seen first: back to the start state, where the next byte restarts.
        SyncScript{"MismatchedSecondAddress",
                   {{1, 4, kNone},
                    {1, 0, kNone},
                    {1, 6, kNone},
                    {60, 0, kSend},
                    {61, 4, kNone},
                    {61, 0, kNone},
                    {61, 4, kNone},
                    {61, 0, kInStep}}},
        SyncScript{"ZeroOrOddFirstByteRestarts", {{60, 5, kSend}, {120, 0, kSend}}},
        // Silence resends every 200 ms, not at every empty read.
        SyncScript{"SilenceResendsAtItsPace",
                   {{1, -1, kNone},
                    {199, -1, kNone},
                    {200, -1, kSend},
                    {300, -1, kNone},
                    {400, -1, kSend}}},
        // Noise restarts the machine but sends no more often than every 50 ms.
        SyncScript{"NoiseDoesNotMultiplyRequests",
                   {{1, 3, kWait},
                    {2, 3, kWait},
                    {49, 3, kWait},
                    {50, 3, kSend},
                    {51, 3, kWait},
                    {52, 4, kNone},
                    {52, 0, kNone},
                    {52, 4, kNone},
                    {52, 0, kInStep}}},
        // A synchronisation asked for from outside finds the machine in step and restarts it.
        SyncScript{"InStepRestartsOnAsk",
                   {{1, 4, kNone},
                    {1, 0, kNone},
                    {1, 4, kNone},
                    {1, 0, kInStep},
                    {2, -1, kSend},
                    {3, 4, kNone}}}),
    [](const ::testing::TestParamInfo<SyncScript>& info) { return info.param.name; });

// ---- Reads taken apart: where every byte went ----

struct TallyCase {
    const char* name;
    std::vector<std::vector<uint8_t>> reads;
    size_t queued;      // packets in the incoming FIFO
    uint64_t discarded; // bytes in no packet
    uint8_t assembling; // bytes of the packet under way
};

void PrintTo(const TallyCase& c, std::ostream* out) {
    *out << c.name;
}

class ReaderTally : public ::testing::TestWithParam<TallyCase> {};

aErr nothingToRead(uint8_t*, void*) {
    return aErrNotReady;
}

TEST_P(ReaderTally, EveryByteIsFramedDiscardedOrAssembled) {
    using namespace corvane::link;
    const TallyCase& c = GetParam();
    LinkRecord r;
    ASSERT_EQ(initialise(r, aStream_Create(nothingToRead, nullptr, nullptr, nullptr, nullptr)),
              aErrNone);
    r.status = LINK_RUNNING;
    std::shared_ptr<ReadPath> path = makeReadPath(r.stream, r.assembly, r.generation);
    for (const std::vector<uint8_t>& read : c.reads)
        takeApart(r, *path, read.data(), read.size());
    EXPECT_EQ(aPacketFifo_GetLength(r.incoming), c.queued);
    EXPECT_EQ(discardedBytes(*path), c.discarded);
    EXPECT_EQ(r.assembly->count, c.assembling);
    path.reset();
    releaseRecord(r);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ReaderTally,
    ::testing::Values(
        TallyCase{"WholePackets", {{2, 2, 0x10, 0x20, 2, 0}}, 2, 0, 0},
        TallyCase{"PacketsAcrossReads", {{2, 3, 1}, {2}, {3, 4}}, 1, 0, 1},
        // A heartbeat is framed and answered, never queued.
        TallyCase{"Heartbeat", {{2, 2, 0, 5}}, 0, 0, 0},
        // The length byte above the maximum throws away the packet it began, and what follows
        // until the module's answer goes to synchronisation.
        TallyCase{"LengthAboveTheMaximum", {{2, 0x40, 1}, {2, 0, 2, 0}, {2, 1, 9}}, 1, 7, 0},
        TallyCase{"NoiseThenTheAnswer", {{2, 1, 7, 5}, {2, 0, 2}, {0, 2, 1, 9}}, 2, 5, 0}),
    [](const ::testing::TestParamInfo<TallyCase>& info) { return info.param.name; });

bool isCommand(const aPacket* packet, void* reference) {
    return packet->length > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
}

// Each case runs against a stream that can only answer "not ready" (the reader polls it) and
// against one that can wait for its next byte (the reader waits on it).
class LinkReader : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        link.reset(aLink_Create(fake.stream()));
        ASSERT_NE(link.get(), 0u);
        ASSERT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
        // Routing on is the first thing a started link sends.
        ASSERT_TRUE(fake.waitForWritten(3, 1000ms));
        ASSERT_EQ(fake.written(), (std::vector<uint8_t>{0xAF, 1, 1}));
        fake.clearWritten();
    }

    // Throws the link out of step with an odd address and waits for its six requests.
    void knockOutOfStep() {
        fake.feed({0x03});
        ASSERT_TRUE(linkReaches(link.get(), LINK_SYNCING, 1000ms));
        ASSERT_TRUE(fake.waitForSequence(kSixRequests, 1000ms));
    }

    // Feeds reply once the written bytes contain request.
    std::thread answerWhenAsked(std::vector<uint8_t> request, std::vector<uint8_t> reply) {
        return std::thread([this, request, reply] {
            if (fake.waitForSequence(request, 2000ms))
                fake.feed(reply);
        });
    }

    ScriptedLinkStream fake{GetParam()}; // outlives the link, which owns a stream over it
    LinkOwner link;
};

TEST_P(LinkReader, OddAddressWhileInStepStartsSynchronisation) {
    knockOutOfStep();
    EXPECT_EQ(fake.written(), kSixRequests);
}

TEST_P(LinkReader, AddressZeroAddressZeroBringsTheLinkInStep) {
    knockOutOfStep();
    fake.feed({4, 0, 4, 0});
    EXPECT_TRUE(linkReaches(link.get(), LINK_RUNNING, 1000ms));
    // In step again: the next bytes are packets.
    fake.feed({4, 1, 0x42});
    PacketPtr packet(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->address, 4);
    EXPECT_EQ(packet->data[0], 0x42);
}

TEST_P(LinkReader, SyncWaitsForTheAnswerAndDrainsWhatItLeaves) {
    // One empty packet per request: two bring the link in step, four are surplus.
    std::thread module = answerWhenAsked(kSixRequests, {4, 0, 4, 0, 4, 0, 4, 0, 4, 0, 4, 0});
    EXPECT_EQ(aLink_Sync(link.get()), aErrNone);
    module.join();
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    EXPECT_EQ(aLink_GetPacket(link.get()), nullptr);
}

// A caller's synchronisation sends its six requests even when the link comes into step on the
// answers to requests the reader sent on its own before the writer took them.
TEST_P(LinkReader, SyncSendsItsRequestsWhenTheLinkComesIntoStepWithoutThem) {
    ScopedLinkTiming timing([](aLinkTiming& t) { t.syncSettleMs = 1000; });
    knockOutOfStep();
    fake.clearWritten();
    fake.closeGate();
    const std::vector<uint8_t> held = {4, 1, 0x42};
    PacketPtr packet(aPacket_CreateWithData(4, 1, &held[2]));
    ASSERT_EQ(aLink_PutPacket(link.get(), packet.get()), aErrNone);
    ASSERT_TRUE(fake.waitForBlockedWriter(1000ms));
    auto sync = std::async(std::launch::async, [&] { return aLink_Sync(link.get()); });
    const aPacketFifoId outgoing = corvane::link::findRecord(link.get())->outgoing;
    ASSERT_TRUE(waitUntil([&] { return aPacketFifo_GetLength(outgoing) == 6; }, 2000ms));
    fake.feed({4, 0, 4, 0}); // answers the reader's own requests
    ASSERT_TRUE(linkReaches(link.get(), LINK_RUNNING, 2000ms));
    fake.openGate();
    EXPECT_EQ(sync.get(), aErrNone);
    std::vector<uint8_t> expected = held;
    expected.insert(expected.end(), kSixRequests.begin(), kSixRequests.end());
    EXPECT_EQ(fake.written(), expected);
}

// Two callers waiting at once each get their own packet, whichever of them reads the stream.
TEST_P(LinkReader, CallersWaitingAtOnceEachTakeTheirPacket) {
    uint8_t first = 0x11, second = 0x22;
    auto await = [&](uint8_t* wanted) {
        return std::async(std::launch::async, [this, wanted] {
            PacketPtr packet(aLink_AwaitFirst(link.get(), isCommand, wanted, 5000));
            return packet != nullptr && packet->data[0] == *wanted;
        });
    };
    for (int round = 0; round < 20; ++round) {
        auto a = await(&first);
        auto b = await(&second);
        fake.feed(round % 2 ? std::vector<uint8_t>{4, 1, 0x22, 4, 1, 0x11}
                            : std::vector<uint8_t>{4, 1, 0x11, 4, 1, 0x22});
        ASSERT_TRUE(a.get()) << "round " << round;
        ASSERT_TRUE(b.get()) << "round " << round;
    }
}

// A caller that waits reads for itself, and does on the way all the reader would: heartbeats
// answered, other packets queued in order.
TEST_P(LinkReader, ACallerWaitingAnswersHeartbeatsAndQueuesTheRest) {
    const corvane::link::RecordPtr record = corvane::link::findRecord(link.get());
    ASSERT_NE(record, nullptr);
    uint8_t wanted = 0x33;
    auto waiting = std::async(std::launch::async, [&] {
        return PacketPtr(aLink_AwaitFirst(link.get(), isCommand, &wanted, 5000));
    });
    ASSERT_TRUE(waitUntil([&] { return record->waiters.load() > 0; }, 2000ms));
    fake.clearWritten();
    fake.feed({0x04, 0x02, 0x00, 0x00, 4, 1, 0x11, 4, 1, 0x33});
    const PacketPtr packet = waiting.get();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x33);
    ASSERT_TRUE(fake.waitForWritten(4, 1000ms));
    EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0x04, 0x02, 0x00, 0x02}));
    PacketPtr other(aLink_GetPacket(link.get()));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->data[0], 0x11);
}

// Stopping the link ends the waits of callers that wait while it runs in step, whether they
// read for themselves or sleep on the FIFO.
TEST_P(LinkReader, StopEndsTheWaitsOfCallersInStep) {
    const corvane::link::RecordPtr record = corvane::link::findRecord(link.get());
    ASSERT_NE(record, nullptr);
    uint8_t wanted = 0x33;
    std::vector<std::future<bool>> waits;
    for (int i = 0; i < 3; ++i)
        waits.push_back(std::async(std::launch::async, [&] {
            return PacketPtr(aLink_AwaitFirst(link.get(), isCommand, &wanted, 60000)) == nullptr;
        }));
    ASSERT_TRUE(waitUntil([&] { return record->waiters.load() == 3; }, 2000ms));
    ASSERT_EQ(aLink_Stop(link.get()), aErrNone);
    for (auto& wait : waits) {
        ASSERT_EQ(wait.wait_for(30s), std::future_status::ready);
        EXPECT_TRUE(wait.get());
    }
}

TEST_P(LinkReader, SyncWithoutAnswerIsNotReady) {
    EXPECT_EQ(aLink_Sync(link.get()), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_SYNCING);
}

TEST_P(LinkReader, HeartbeatsAreAnsweredByteExactAndNotQueued) {
    fake.feed({0x04, 0x02, 0x00, 0x00});
    ASSERT_TRUE(fake.waitForWritten(4, 1000ms));
    EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0x04, 0x02, 0x00, 0x02}));

    fake.clearWritten();
    fake.feed({0x08, 0x02, 0x00, 0x01}); // heartbeat down
    ASSERT_TRUE(fake.waitForWritten(4, 1000ms));
    EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0x08, 0x02, 0x00, 0x03}));
    EXPECT_EQ(aLink_GetPacket(link.get()), nullptr);

    // A two-byte packet of another command is no heartbeat.
    fake.feed({0x04, 0x02, 0x05, 0x00});
    PacketPtr packet(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x05);
}

bool consumeCommand55(const aPacket* packet, void* reference) {
    ++*static_cast<int*>(reference);
    return packet->length > 0 && packet->data[0] == 0x55;
}

TEST_P(LinkReader, UserFilterSeesEveryPacketFirstAndConsumesWhatItTakes) {
    int seen = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.get(), consumeCommand55, &seen), aErrNone);
    // The reader takes bytes in order: once the closing 0x77 is queued, the rest was seen.
    fake.feed({4, 1, 0x55, 4, 1, 0x66, 4, 2, 0x55, 0x01, 4, 1, 0x77});
    PacketPtr packet(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x66);
    PacketPtr closing(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(closing, nullptr);
    EXPECT_EQ(closing->data[0], 0x77);
    EXPECT_EQ(seen, 4);

    // Removed, the filter sees nothing more.
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.get(), nullptr, nullptr), aErrNone);
    fake.feed({4, 1, 0x55});
    PacketPtr after(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(seen, 4);
}

// A filter of one user of a shared link: counts what it is offered, takes one command.
struct Taker {
    uint8_t takes;
    int seen = 0;
    int seenAtBurstEnd = -1; // what it had seen when last told a burst was taken apart
    static bool offer(const aPacket* packet, void* reference) {
        auto* self = static_cast<Taker*>(reference);
        ++self->seen;
        return packet->length > 0 && packet->data[0] == self->takes;
    }
    static void burstEnd(void* reference) {
        auto* self = static_cast<Taker*>(reference);
        self->seenAtBurstEnd = self->seen;
    }
};

// Users sharing a link each see every packet, whoever takes it, and each goes without
// disturbing the others.
TEST_P(LinkReader, AddedFiltersSeeEveryPacketBesideTheUserFilter) {
    Taker user{0x55}, first{0x66}, second{0x99};
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.get(), Taker::offer, &user), aErrNone);
    ASSERT_EQ(aLink_AddPacketFilter(link.get(), Taker::offer, &first, nullptr), aErrNone);
    ASSERT_EQ(aLink_AddPacketFilter(link.get(), Taker::offer, &second, Taker::burstEnd), aErrNone);
    ASSERT_EQ(aLink_AddPacketFilter(link.get(), Taker::offer, &second, Taker::burstEnd),
              aErrNone); // once only
    fake.feed({4, 1, 0x55, 4, 1, 0x66, 4, 1, 0x77});
    PacketPtr kept(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->data[0], 0x77);
    EXPECT_EQ(user.seen, 3);
    EXPECT_EQ(first.seen, 3);
    EXPECT_EQ(second.seen, 3);
    EXPECT_EQ(second.seenAtBurstEnd, 3) << "told before the burst's packets are queued";

    // One user leaving (its filter twice, the single slot emptied) leaves the other's in place.
    EXPECT_EQ(aLink_RemovePacketFilter(link.get(), Taker::offer, &first), aErrNone);
    EXPECT_EQ(aLink_RemovePacketFilter(link.get(), Taker::offer, &first), aErrNotFound);
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.get(), nullptr, nullptr), aErrNone);
    fake.feed({4, 1, 0x66, 4, 1, 0x99, 4, 1, 0x77});
    PacketPtr freed(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(freed, nullptr);
    EXPECT_EQ(freed->data[0], 0x66) << "no longer taken";
    PacketPtr closing(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(closing, nullptr);
    EXPECT_EQ(closing->data[0], 0x77) << "0x99 still taken";
    EXPECT_EQ(second.seen, 6);
    EXPECT_EQ(first.seen, 3);
    EXPECT_EQ(user.seen, 3);

    EXPECT_EQ(aLink_AddPacketFilter(link.get(), nullptr, &first, nullptr), aErrParam);
    EXPECT_EQ(aLink_AddPacketFilter(999, Taker::offer, &first, nullptr), aErrParam);
    EXPECT_EQ(aLink_RemovePacketFilter(999, Taker::offer, &second), aErrParam);
    EXPECT_EQ(aLink_RemovePacketFilter(link.get(), Taker::offer, &second), aErrNone);
}

TEST_P(LinkReader, AwaitFirstTakesTheMatchAndReturnsAtOnceOutOfStep) {
    uint8_t wanted = 0x22;
    fake.feed({4, 1, 0x11, 4, 1, 0x22, 4, 1, 0x33});
    PacketPtr packet(aLink_AwaitFirst(link.get(), isCommand, &wanted, 1000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x22);
    EXPECT_EQ(aLink_AwaitFirst(link.get(), nullptr, nullptr, 10), nullptr);

    knockOutOfStep();
    wanted = 0x11; // waiting in the FIFO, but the link is not in step
    // Null at once: a wait of the full minute would show.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.get(), isCommand, &wanted, 60000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30000ms);
}

TEST_P(LinkReader, ModuleAddressQuery) {
    std::thread module = answerWhenAsked({0xAD, 0}, {6, 0});
    uint8_t address = 0;
    EXPECT_EQ(aLink_GetModuleAddress(link.get(), &address), aErrNone);
    module.join();
    EXPECT_EQ(address, 6);

    fake.clearWritten();
    module = answerWhenAsked({0xAD, 0}, {6, 1, 0x07});
    EXPECT_EQ(aLink_GetModuleAddress(link.get(), &address), aErrIO);
    module.join();
    EXPECT_EQ(aLink_GetPacket(link.get()), nullptr); // the wrong answer was consumed

    EXPECT_EQ(aLink_GetModuleAddress(link.get(), nullptr), aErrParam);
    EXPECT_EQ(aLink_GetModuleAddress(link.get(), &address), aErrTimeout);
}

TEST_P(LinkReader, ModelQuery) {
    const std::vector<uint8_t> query = {4, 3, 0x03, 0x48, 0x20};
    std::thread module = answerWhenAsked(query, {4, 4, 0x03, 0x08, 0x00, 0x13});
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(link.get(), 4, &model), aErrNone);
    module.join();
    EXPECT_EQ(model, 0x13);

    // An answer from another address is no answer to this query.
    fake.clearWritten();
    module = answerWhenAsked(query, {6, 4, 0x03, 0x08, 0x00, 0x13});
    EXPECT_EQ(aLink_GetModel(link.get(), 4, &model), aErrIO);
    module.join();
}

TEST_P(LinkReader, FailedReadShowsAsIOErrorUntilTheNextSynchronisation) {
    fake.feedError(aErrIO);
    ASSERT_TRUE(linkReaches(link.get(), IO_ERROR, 1000ms));
    // Bytes still arrive as packets, but the status stays until a synchronisation completes.
    fake.feed({4, 1, 0x42});
    PacketPtr packet(aLink_AwaitPacket(link.get(), 1000));
    EXPECT_NE(packet, nullptr);
    EXPECT_EQ(aLink_GetStatus(link.get()), IO_ERROR);

    std::thread module = answerWhenAsked(kSixRequests, {4, 0, 4, 0});
    EXPECT_EQ(aLink_Sync(link.get()), aErrNone);
    module.join();
}

// Cases for a waitable stream only.
class WaitingLinkReader : public LinkReader {};

TEST_P(WaitingLinkReader, IdleReaderWaitsInsteadOfPolling) {
    ASSERT_TRUE(waitUntil([&] { return fake.waits() > 0; }, 5000ms));
    const size_t gets = fake.gets(), waits = fake.waits();
    ASSERT_TRUE(waitUntil([&] { return fake.waits() >= waits + 5; }, 5000ms));
    // One read per wait, give or take the edges; polling would make thousands between waits.
    EXPECT_LE(fake.gets() - gets, 2 * (fake.waits() - waits) + 2);
    // A byte that comes while the reader waits is taken as before.
    fake.feed({4, 1, 0x42});
    PacketPtr packet(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x42);
}

INSTANTIATE_TEST_SUITE_P(Streams, LinkReader, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Waiting" : "Polling";
                         });
INSTANTIATE_TEST_SUITE_P(Streams, WaitingLinkReader, ::testing::Values(true),
                         [](const ::testing::TestParamInfo<bool>&) { return "Waiting"; });

} // namespace
