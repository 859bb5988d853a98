// The link reader against a scripted stream: synchronisation, heartbeat answers, the user
// packet filter, first-match waits and the module address and model queries.
#include "aLinkInternal.h"
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

size_t countRequests(const std::vector<uint8_t>& bytes) {
    size_t n = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0xAD && bytes[i + 1] == 0)
            ++n;
    return n;
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

TEST_P(LinkReader, MismatchedSecondAddressKeepsSynchronising) {
    knockOutOfStep();
    fake.clearWritten();
    // 6 is not the 4 seen first: back to the start state, where the closing 0 (the next
    // byte) sends the requests again, well before silence alone would.
    fake.feed({4, 0, 6});
    ASSERT_TRUE(waitUntil([&] { return fake.drained(); }, 1000ms));
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_SYNCING);
    EXPECT_FALSE(fake.contains(kSixRequests));
    fake.feed({0});
    EXPECT_TRUE(fake.waitForSequence(kSixRequests, 100ms));

    fake.feed({4, 0, 4, 0});
    EXPECT_TRUE(linkReaches(link.get(), LINK_RUNNING, 1000ms));
}

TEST_P(LinkReader, ZeroOrOddFirstAnswerByteRestartsAtOnce) {
    knockOutOfStep();
    fake.clearWritten();
    // Past the 50 ms pace of byte-triggered requests, well inside the 200 ms after which
    // silence alone would send them again.
    std::this_thread::sleep_for(60ms);
    fake.feed({5});
    EXPECT_TRUE(fake.waitForSequence(kSixRequests, 100ms));
    fake.clearWritten();
    std::this_thread::sleep_for(60ms);
    fake.feed({0});
    EXPECT_TRUE(fake.waitForSequence(kSixRequests, 100ms));
}

TEST_P(LinkReader, SilentModuleGetsRequestsAgainAtAMeasuredPace) {
    knockOutOfStep();
    fake.clearWritten();
    std::this_thread::sleep_for(1000ms);
    // Resent every 200 ms of silence: not at every empty read, and not never.
    const size_t requests = countRequests(fake.written());
    EXPECT_GE(requests, 12u);
    EXPECT_LE(requests, 42u);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_SYNCING);
}

TEST_P(LinkReader, NoiseDoesNotMultiplyRequests) {
    knockOutOfStep();
    fake.clearWritten();
    // A burst of bytes that never synchronise: odd ones restart at once.
    fake.feed(std::vector<uint8_t>(2000, 0x03));
    ASSERT_TRUE(waitUntil([&] { return fake.drained(); }, 1000ms));
    EXPECT_LE(countRequests(fake.written()), 12u);

    // Answers to requests already sent still count: the burst did not lose the link.
    fake.feed({4, 0, 4, 0});
    EXPECT_TRUE(linkReaches(link.get(), LINK_RUNNING, 1000ms));
}

TEST_P(LinkReader, SyncWaitsForTheAnswerAndDrainsWhatItLeaves) {
    // One empty packet per request: two bring the link in step, four are surplus.
    std::thread module = answerWhenAsked(kSixRequests, {4, 0, 4, 0, 4, 0, 4, 0, 4, 0, 4, 0});
    EXPECT_EQ(aLink_Sync(link.get()), aErrNone);
    module.join();
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    EXPECT_EQ(aLink_GetPacket(link.get()), nullptr);
}

TEST_P(LinkReader, SyncWithoutAnswerIsNotReady) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Sync(link.get()), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3000ms);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_SYNCING);
}

TEST_P(LinkReader, HeartbeatsAreAnsweredByteExactAndNotQueued) {
    fake.feed({0x04, 0x02, 0x00, 0x00});
    ASSERT_TRUE(fake.waitForWritten(4, 1000ms));
    std::this_thread::sleep_for(20ms);
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
    fake.feed({4, 1, 0x55, 4, 1, 0x66, 4, 2, 0x55, 0x01});
    PacketPtr packet(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x66);
    ASSERT_TRUE(waitUntil([&] { return fake.drained(); }, 1000ms));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(aLink_GetPacket(link.get()), nullptr);
    EXPECT_EQ(seen, 3);

    // Removed, the filter sees nothing more.
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.get(), nullptr, nullptr), aErrNone);
    fake.feed({4, 1, 0x55});
    PacketPtr after(aLink_AwaitPacket(link.get(), 1000));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(seen, 3);
}

bool isCommand(const aPacket* packet, void* reference) {
    return packet->length > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
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
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.get(), isCommand, &wanted, 1000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms);
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
    std::this_thread::sleep_for(20ms); // past the first moments of silence, when it yields
    const size_t before = fake.gets();
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(fake.waits(), 0u);
    // Waits of 50 ms allow some 6 reads; polling would make thousands.
    EXPECT_LT(fake.gets() - before, 60u);
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
