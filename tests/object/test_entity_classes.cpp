// The entity classes against the virtual module: request layouts checked byte for byte, and the
// I2C bus over raw packets of command 8 with scripted replies.
#include "ObjectPeer.h"

#include "corvane/I2CClass.h"
#include "corvane/SystemClass.h"

#include <atomic>

using namespace objecttest;
using Corvane::Tools::ModuleConnection;

namespace {

class SystemEntity : public ConnectedModule {};

TEST_F(SystemEntity, RequestsAreTheTablesBytes) {
    Corvane::SystemClass system;
    system.init(module.get(), 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x1A2B3C4Du);
    EXPECT_EQ(peer->received(3).back(), WirePacket(2, {3, 0x49, 0x20}));
    ASSERT_EQ(system.routeToMe(1), aErrNone);
    EXPECT_EQ(peer->received(3).back(), WirePacket(2, {3, 0x94, 0x20, 1}));
    EXPECT_EQ(system.getSerialNumber(nullptr), aErrParam);

    Corvane::SystemClass unbound;
    EXPECT_EQ(unbound.getSerialNumber(&serial), aErrResource);
}

// A bus whose replies the test scripts: every request is recorded and answered with reply().
class I2CBus : public ConnectedModule {
  protected:
    PeerOptions peerOptions() override {
        PeerOptions options;
        options.handlers[8] = [this](ModuleConnection& connection, const WirePacket& request) {
            if (!silent)
                connection.send(reply(request));
        };
        return options;
    }

    WirePacket reply(const WirePacket& request) const {
        WirePacket out(request.address, {8, request.data[1], request.data[2]});
        if (request.data[2] & 1) { // read: count, status, data
            out.data[3] = request.data[3];
            out.data[4] = status;
            for (uint8_t i = 0; i < request.data[3]; ++i)
                out.data[5 + i] = static_cast<uint8_t>(0xA0 + i);
            out.length = static_cast<uint8_t>(5 + request.data[3]);
        } else {
            out.data[3] = 0;
            out.data[4] = status;
            out.length = shortReply ? 4 : 5;
        }
        return out;
    }

    std::atomic<uint8_t> status{0};
    std::atomic<bool> shortReply{false};
    std::atomic<bool> silent{false};
};

TEST_F(I2CBus, TransfersCarryAddressLengthAndSpeed) {
    Corvane::I2CClass bus;
    bus.init(module.get(), 1);
    uint8_t speed = 9;
    EXPECT_EQ(bus.setSpeed(2), aErrNone);
    EXPECT_EQ(bus.setSpeed(4), aErrParam);
    ASSERT_EQ(bus.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 2);

    uint8_t buffer[23] = {};
    ASSERT_EQ(bus.read(0x50, 3, buffer), aErrNone);
    EXPECT_EQ(peer->received(8).back(), WirePacket(2, {8, 1, 0x51, 3, 2}));
    EXPECT_EQ(buffer[0], 0xA0);
    EXPECT_EQ(buffer[2], 0xA2);
    EXPECT_EQ(buffer[3], 0);

    const uint8_t data[] = {0x10, 0x20};
    ASSERT_EQ(bus.write(0x50, 2, data), aErrNone);
    EXPECT_EQ(peer->received(8).back(), WirePacket(2, {8, 1, 0x50, 2, 2, 0x10, 0x20}));
    ASSERT_EQ(bus.setPullup(true), aErrNone);
    EXPECT_EQ(peer->received(8).back(), WirePacket(2, {8, 1, 1, 1}));

    EXPECT_EQ(bus.read(0x50, 24, buffer), aErrSize);
    EXPECT_EQ(bus.write(0x50, 24, buffer), aErrSize);
    EXPECT_EQ(peer->received(8).size(), 3u); // the refused transfers sent nothing

    bus.init(module.get(), 1);
    ASSERT_EQ(bus.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
}

TEST_F(I2CBus, StatusAndShortRepliesBecomeErrors) {
    Corvane::I2CClass bus;
    bus.init(module.get(), 0);
    uint8_t buffer[4] = {0x11, 0x11, 0x11, 0x11};
    status = 0x83;
    EXPECT_EQ(bus.read(0x50, 4, buffer), aErrNotFound);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(bus.write(0x50, 1, buffer), aErrNotFound);
    status = 0;
    shortReply = true;
    EXPECT_EQ(bus.write(0x50, 1, buffer), aErrPacket);
    silent = true;
    EXPECT_EQ(bus.read(0x50, 1, buffer), aErrTimeout);

    Corvane::I2CClass unbound;
    EXPECT_EQ(unbound.read(0x50, 1, buffer), aErrResource);
}

} // namespace
