// Corvane::EntityClass and the UEI protocol against the virtual module: typed gets and sets,
// error replies, UEIBytes in both directions and the waits for values sent unasked.
#include "ObjectPeer.h"

#include "corvane/aUEI.h"

#include <numeric>

using namespace objecttest;
using Corvane::Tools::ModelFaults;
using Corvane::Tools::ModuleConnection;

namespace {

class EntityUEI : public ConnectedModule {};

TEST_F(EntityUEI, TypedSetsAndGetsRoundTrip) {
    TestEntity analog(module.get(), 30, 2);
    ASSERT_EQ(analog.setUEI8(1, 0x5A), aErrNone);
    ASSERT_EQ(analog.setUEI16(2, 0xBEEF), aErrNone);
    ASSERT_EQ(analog.setUEI32(3, 0xDEADBEEF), aErrNone);
    uint8_t byte = 0;
    uint16_t shortValue = 0;
    uint32_t intValue = 0;
    EXPECT_EQ(analog.getUEI8(1, &byte), aErrNone);
    EXPECT_EQ(analog.getUEI16(2, &shortValue), aErrNone);
    EXPECT_EQ(analog.getUEI32(3, &intValue), aErrNone);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(shortValue, 0xBEEF);
    EXPECT_EQ(intValue, 0xDEADBEEFu);
    EXPECT_EQ(analog.callUEI(6), aErrNone);
    EXPECT_EQ(analog.getUEI8(1, nullptr), aErrParam);

    // A set with a subindex and a get with a parameter byte address the same value.
    TestEntity usb(module.get(), 18);
    ASSERT_EQ(usb.setUEI32(17, 3, 1500000), aErrNone);
    EXPECT_EQ(usb.getUEI32(17, 3, &intValue), aErrNone);
    EXPECT_EQ(intValue, 1500000u);
    EXPECT_EQ(peer->model().value(18, 0, 17, 3), 1500000u);

    // Request layouts: get 30, 0x42, index | 0x20; set with value, high byte first.
    const auto sent = peer->received(30);
    EXPECT_EQ(sent[1], WirePacket(2, {30, 0x82, 0x22, 0xBE, 0xEF}));
    EXPECT_EQ(sent[2], WirePacket(2, {30, 0x83, 0x22, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(sent[4], WirePacket(2, {30, 0x42, 0x22}));
    EXPECT_EQ(sent[6], WirePacket(2, {30, 0x86, 0x22}));
    EXPECT_EQ(peer->received(18)[0], WirePacket(2, {18, 0x91, 0x20, 3, 0x00, 0x16, 0xE3, 0x60}));
    EXPECT_EQ(peer->received(18)[1], WirePacket(2, {18, 0x51, 0x20, 3}));
}

TEST_F(EntityUEI, ErrorRepliesBecomeTheModulesCode) {
    uint32_t value = 77;
    TestEntity system(module.get(), 3);
    EXPECT_EQ(system.getUEI32(60, &value), aErrInvalidOption);
    EXPECT_EQ(system.setUEI8(9, 1), aErrInvalidOption); // read-only
    TestEntity missing(module.get(), 50);
    EXPECT_EQ(missing.getUEI32(1, &value), aErrInvalidEntity);
    TestEntity outOfRange(module.get(), 30, 7);
    EXPECT_EQ(outOfRange.getUEI32(3, &value), aErrIndexRange);
    EXPECT_EQ(value, 77u);

    ModelFaults faults;
    faults.errorUei = {true, 3, 9};
    faults.errorCode = aErrBusy;
    peer->model().setFaults(faults);
    EXPECT_EQ(system.getUEI32(9, &value), aErrBusy);
    faults.silentUei = {true, 3, 9};
    peer->model().setFaults(faults);
    EXPECT_EQ(system.getUEI32(9, &value), aErrTimeout);
    peer->model().setFaults({});
    EXPECT_EQ(system.getUEI32(9, &value), aErrNone);
    EXPECT_EQ(value, 0x1A2B3C4Du);
}

TEST_F(EntityUEI, SendUEIRefusesWhatHasNoPacketForm) {
    uei request{};
    request.module = 2;
    request.command = 30;
    request.option = 0x81;
    request.specifier = 0x20;
    request.type = static_cast<ueiType>(3);
    EXPECT_EQ(link->sendUEI(request), aErrParam);
    EXPECT_EQ(link->sendUEI(request, 1), aErrParam);
    request.type = typeBytes;
    EXPECT_EQ(link->sendUEI(request, 1), aErrParam);
    request.module = 3;
    request.type = typeByte;
    EXPECT_EQ(link->sendUEI(request), aErrPacket);
    // Packets keep their order: only the echo sent afterwards reaches the module.
    ASSERT_EQ(module->debug(nullptr, 0), aErrNone);
    EXPECT_TRUE(peer->received(30).empty());
}

TEST_F(EntityUEI, SetUEIBytesSendsNumberedRuns) {
    std::vector<uint8_t> data(60);
    std::iota(data.begin(), data.end(), uint8_t{1});
    TestEntity system(module.get(), 3);
    ASSERT_EQ(system.setUEIBytes(32, data.data(), 60), aErrNone);
    const auto sent = peer->received(3);
    ASSERT_EQ(sent.size(), 3u);
    const uint8_t controls[] = {0x80, 0x81, 0x02};
    const uint8_t lengths[] = {28, 28, 16};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].length, lengths[i]);
        EXPECT_EQ(sent[i].data[0], 3);
        EXPECT_EQ(sent[i].data[1], 0xA0);
        EXPECT_EQ(sent[i].data[2], 0x20);
        EXPECT_EQ(sent[i].data[sent[i].length - 1], controls[i]);
    }
    EXPECT_EQ(sent[1].data[3], 25);
    EXPECT_EQ(peer->model().bytes(3, 0, 32), data);

    // An empty array is one packet with control byte 0.
    ASSERT_EQ(system.setUEIBytes(32, nullptr, 0), aErrNone);
    EXPECT_EQ(peer->received(3).back(), WirePacket(2, {3, 0xA0, 0x20, 0x00}));
}

class EntityBytes : public ConnectedModule, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(EntityBytes, RoundTrip) {
    std::vector<uint8_t> data(GetParam());
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / 256);
    TestEntity system(module.get(), 3);
    ASSERT_EQ(system.setUEIBytes(32, data.data(), static_cast<uint32_t>(data.size())), aErrNone);
    std::vector<uint8_t> back(data.size() + 1000);
    uint32_t unloaded = 0;
    ASSERT_EQ(system.getUEIBytes(32, back.data(), static_cast<uint32_t>(back.size()), &unloaded),
              aErrNone);
    ASSERT_EQ(unloaded, data.size());
    back.resize(unloaded);
    EXPECT_EQ(back, data);
}

// 5,000 bytes take 209 packets, so the 7-bit sequence number wraps once each way; 32 KiB take
// 1,366, more than either packet FIFO holds at once.
INSTANTIATE_TEST_SUITE_P(Sizes, EntityBytes, ::testing::Values(5000, 32768));

TEST_F(EntityUEI, TooSmallBufferTakesTheRestOfTheTransferOff) {
    TestEntity ethernet(module.get(), 39);
    const std::vector<uint8_t> hostname = *peer->model().bytes(39, 0, 11);
    ASSERT_EQ(hostname.size(), 48u);
    uint8_t small[30] = {};
    uint32_t unloaded = 0;
    EXPECT_EQ(ethernet.getUEIBytes(11, small, sizeof small, &unloaded), aErrMemory);
    EXPECT_EQ(unloaded, 24u);
    EXPECT_TRUE(std::equal(small, small + 24, hostname.begin()));

    // The next get on the entity is answered by its own reply, not by left-over packets.
    uint8_t full[64] = {};
    ASSERT_EQ(ethernet.getUEIBytes(11, full, sizeof full, &unloaded), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(full, full + unloaded), hostname);
    EXPECT_EQ(ethernet.getUEIBytes(11, nullptr, 4, &unloaded), aErrParam);
    EXPECT_EQ(ethernet.getUEIBytes(11, full, 0, &unloaded), aErrParam);
}

TEST_F(EntityUEI, PacketOutOfSequenceIsIgnored) {
    ModelFaults faults;
    faults.bytesOutOfSequence = true;
    peer->model().setFaults(faults);
    TestEntity ethernet(module.get(), 39);
    uint8_t buffer[64] = {};
    uint32_t unloaded = 0;
    EXPECT_EQ(ethernet.getUEIBytes(11, buffer, sizeof buffer, &unloaded), aErrTimeout);
    EXPECT_EQ(unloaded, 24u);
    EXPECT_FALSE(peer->model().faults().bytesOutOfSequence);
}

TEST(UEIBytesCheck, CountsWholeUnits) {
    struct Case {
        uint32_t length, unit;
        aErr result;
        uint32_t after;
    };
    const Case cases[] = {{10, 4, aErrMemory, 10},
                          {12, 4, aErrNone, 3},
                          {0, 4, aErrNone, 0},
                          {7, 1, aErrNone, 7},
                          {8, 0, aErrParam, 8}};
    for (const Case& c : cases) {
        uint32_t length = c.length;
        EXPECT_EQ(Corvane::EntityClass::getUEIBytesCheck(&length, c.unit), c.result);
        EXPECT_EQ(length, c.after);
    }
    EXPECT_EQ(Corvane::EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
}

// Replies scripted byte for byte for command 5, to check how the host decodes them.
class ScriptedReplies : public ConnectedModule {
  protected:
    PeerOptions peerOptions() override {
        PeerOptions options;
        options.handlers[5] = [this](ModuleConnection& c, const WirePacket& request) {
            const uint8_t option = request.data[1] & 0x3F;
            switch (option) {
            case 1: c.send(WirePacket(2, {5, 1, 0, 0x9C})); break;
            case 2: c.send(WirePacket(2, {5, 2, 0, 0x12, 0x34})); break;
            case 3: c.send(WirePacket(2, {5, 3, 0, 0x00, 0x01, 0x86, 0xA0})); break;
            case 4: c.send(WirePacket(2, {5, 4, 0x80, 29})); break;
            case 5: // an acknowledgement, then a completion value sent unasked
                c.send(WirePacket(2, {5, 0xC5, 0}));
                c.send(WirePacket(2, {5, 5, 0, 0, 0, 0x01, 0x02}));
                break;
            case 6: { // every reply twice: the second copy goes stale
                const uint8_t n = ++requests;
                c.send(WirePacket(2, {5, 6, 0, n}));
                c.send(WirePacket(2, {5, 6, 0, n}));
                break;
            }
            }
        };
        return options;
    }
    uint8_t requests = 0; // module thread only
};

TEST_F(ScriptedReplies, RepliesDecodeByLength) {
    TestEntity app(module.get(), 5);
    uei reply{};
    EXPECT_EQ(app.getUEI(1, &reply), aErrNone);
    EXPECT_EQ(reply.type, typeByte);
    EXPECT_EQ(reply.value.byteVal, 0x9C);
    reply = uei{};
    EXPECT_EQ(app.getUEI(2, &reply), aErrNone);
    EXPECT_EQ(reply.type, typeShort);
    EXPECT_EQ(reply.value.shortVal, 0x1234);
    reply = uei{};
    EXPECT_EQ(app.getUEI(3, &reply), aErrNone);
    EXPECT_EQ(reply.type, typeInt);
    EXPECT_EQ(reply.value.intVal, 100000u);
    uint32_t value = 5;
    EXPECT_EQ(app.getUEI32(4, &value), aErrInvalidOption);
    EXPECT_EQ(value, 5u);

    ASSERT_EQ(app.callUEI(5), aErrNone);
    EXPECT_EQ(app.awaitUEI32Val(5, &value, 10), aErrNone);
    EXPECT_EQ(value, 0x0102u);
    EXPECT_EQ(app.awaitUEI32Val(5, nullptr, 10), aErrParam);
}

TEST_F(ScriptedReplies, DrainRemovesStaleReplies) {
    TestEntity app(module.get(), 5);
    uint8_t value = 0;
    ASSERT_EQ(app.getUEI8(6, &value), aErrNone);
    EXPECT_EQ(value, 1);
    // The module answers in order, so once an echo is back the duplicate is queued too.
    ASSERT_EQ(module->debug(nullptr, 0), aErrNone);
    ASSERT_EQ(app.drainUEI(6), aErrNone);
    EXPECT_EQ(app.getUEI8(6, &value), aErrNone);
    EXPECT_EQ(value, 2);
}

} // namespace
