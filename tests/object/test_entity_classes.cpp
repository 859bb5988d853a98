// The entity classes against the virtual module: request layouts checked byte for byte, the
// operations that are more than one plain UEI, and the I2C bus over raw packets of command 8.
#include "ObjectPeer.h"

#include "corvane/Entities.h"

#include <atomic>
#include <cstring>
#include <vector>

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

namespace {

class EntityLayouts : public ConnectedModule {};

TEST_F(EntityLayouts, PortRequestsCarryThePortByte) {
    Corvane::USBClass usb;
    usb.init(module.get(), 0);
    ASSERT_EQ(usb.setPortEnable(3), aErrNone);
    EXPECT_EQ(peer->received(18).back(), WirePacket(2, {18, 0x81, 0x20, 3}));
    uint32_t current = 0;
    ASSERT_EQ(usb.getPortCurrent(3, &current), aErrNone);
    EXPECT_EQ(peer->received(18).back(), WirePacket(2, {18, 0x47, 0x20, 3}));
    EXPECT_EQ(current, 500000u);
}

TEST_F(EntityLayouts, ListCountsWordsOnlyForWholeWords) {
    TestEntity raw(module.get(), 3);
    Corvane::SystemClass system;
    system.init(module.get(), 0);
    uint32_t list[8] = {};
    uint32_t count = 0;
    const uint8_t twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(raw.setUEIBytes(31, twelve, 12), aErrNone);
    EXPECT_EQ(system.getInputPowerBehaviorConfig(list, 8, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::memcmp(list, twelve, 12), 0);
    ASSERT_EQ(raw.setUEIBytes(31, twelve, 10), aErrNone);
    EXPECT_EQ(system.getInputPowerBehaviorConfig(list, 8, &count), aErrMemory);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(system.getInputPowerBehaviorConfig(list, 2, &count), aErrMemory); // 12 > 8 bytes
    EXPECT_EQ(system.getInputPowerBehaviorConfig(nullptr, 2, &count), aErrParam);
}

TEST(PowerDeliveryAttributes, PackAndUnpack) {
    using PD = Corvane::PowerDeliveryClass;
    uint8_t attributes = 0;
    ASSERT_EQ(PD::packDataObjectAttributes(&attributes, 1, 2, 5), aErrNone);
    EXPECT_EQ(attributes, 0xC5);
    uint8_t partner = 9, role = 9, rule = 99;
    ASSERT_EQ(PD::unpackDataObjectAttributes(0xC5, &partner, &role, &rule), aErrNone);
    EXPECT_EQ(partner, 1);
    EXPECT_EQ(role, 2);
    EXPECT_EQ(rule, 5);
    struct Bad {
        uint8_t partner, role, rule;
    };
    for (const Bad& bad : {Bad{0, 3, 0}, Bad{0, 0, 0}, Bad{2, 1, 0}, Bad{0, 1, 64}})
        EXPECT_EQ(PD::packDataObjectAttributes(&attributes, bad.partner, bad.role, bad.rule),
                  aErrParam);
    EXPECT_EQ(PD::packDataObjectAttributes(nullptr, 0, 1, 0), aErrParam);
    EXPECT_EQ(PD::unpackDataObjectAttributes(0, &partner, nullptr, &rule), aErrParam);
}

TEST_F(EntityLayouts, PowerDataObjectsAreAddressedByAttributes) {
    Corvane::PowerDeliveryClass pd;
    pd.init(module.get(), 0);
    uint32_t pdo = 0;
    ASSERT_EQ(pd.setPowerDataObject(2, 5, 0x0001912C), aErrNone);
    EXPECT_EQ(peer->received(36).back(), WirePacket(2, {36, 0x81, 0x20, 0x85, 0, 1, 0x91, 0x2C}));
    ASSERT_EQ(pd.getPowerDataObject(0, 2, 5, &pdo), aErrNone);
    EXPECT_EQ(peer->received(36).back(), WirePacket(2, {36, 0x41, 0x20, 0x85}));
    EXPECT_EQ(pdo, 0x0001912Cu);
    EXPECT_EQ(pd.getPowerDataObject(1, 3, 5, &pdo), aErrParam);
    ASSERT_EQ(pd.getRequestDataObject(1, &pdo), aErrNone);
    EXPECT_EQ(peer->received(36).back(), WirePacket(2, {36, 0x46, 0x20, 0xC0}));
    ASSERT_EQ(pd.setRequestDataObject(7), aErrNone);
    EXPECT_EQ(peer->received(36).back(), WirePacket(2, {36, 0x86, 0x20, 0x80, 0, 0, 0, 7}));
    EXPECT_EQ(pd.getRequestDataObject(2, &pdo), aErrParam);
    uint8_t count = 0;
    ASSERT_EQ(pd.getNumberOfPowerDataObjects(1, 1, &count), aErrNone);
    EXPECT_EQ(peer->received(36).back(), WirePacket(2, {36, 0x45, 0x20, 0x40}));
    ASSERT_EQ(pd.setPowerDataObjectEnabled(1, 63, 1), aErrNone);
    EXPECT_EQ(peer->received(36).back(), WirePacket(2, {36, 0x83, 0x20, 0x3F, 1}));
    ASSERT_EQ(pd.resetPowerDataObjectToDefault(2, 1), aErrNone);
    EXPECT_EQ(peer->received(36).back(), WirePacket(2, {36, 0x8F, 0x20, 0x81}));
    const std::size_t sent = peer->received(36).size();
    EXPECT_EQ(pd.resetPowerDataObjectToDefault(0, 1), aErrParam);
    EXPECT_EQ(peer->received(36).size(), sent);
}

// The application routine sends its result (option 2, unasked) ahead of the acknowledgement of
// its set, so a result is waiting on the link once a set returns; a stale one must not be taken
// for the next call's.
class AppRoutine : public ConnectedModule {
  protected:
    PeerOptions peerOptions() override {
        PeerOptions options;
        options.handlers[5] = [](ModuleConnection& connection, const WirePacket& request) {
            const uint8_t index = request.data[2] & 0x1F;
            const uint8_t p = request.data[6];
            connection.send(WirePacket(2, {5, 0x02, index, 0, 0, 0, uint8_t(p * 2)}));
            connection.send(WirePacket(2, {5, 0xC1, index}));
        };
        return options;
    }
};

TEST_F(AppRoutine, ExecuteWaitsForTheResult) {
    Corvane::AppClass app;
    app.init(module.get(), 1);
    ASSERT_EQ(app.execute(4), aErrNone); // leaves its result (8) on the link
    uint32_t result = 0;
    ASSERT_EQ(app.execute(21, &result, 5000), aErrNone);
    EXPECT_EQ(result, 42u);
    EXPECT_EQ(peer->received(5).back(), WirePacket(2, {5, 0x81, 0x21, 0, 0, 0, 21}));
    EXPECT_EQ(app.execute(1, nullptr, 0), aErrParam);
}

TEST_F(EntityLayouts, StoreSlotsUseTheIndexAsStore) {
    Corvane::StoreClass store;
    store.init(module.get(), 1);
    uint32_t capacity = 0;
    ASSERT_EQ(store.getSlotCapacity(0, &capacity), aErrNone);
    EXPECT_EQ(capacity, 64u);
    const uint8_t data[] = "slot bytes";
    ASSERT_EQ(store.loadSlot(0, data, sizeof data), aErrNone);
    EXPECT_EQ(peer->model().slot(1, 0), std::vector<uint8_t>(data, data + sizeof data));
    uint8_t back[32] = {};
    uint32_t unloaded = 0;
    ASSERT_EQ(store.unloadSlot(0, sizeof back, back, &unloaded), aErrNone);
    EXPECT_EQ(unloaded, sizeof data);
    Corvane::StoreClass unbound;
    EXPECT_EQ(unbound.getSlotSize(0, &capacity), aErrResource);
}

// A handful of rows of the entity class table written out by hand, not expanded from the tables
// the classes and the virtual module are generated from: a wrong command, option code, width or
// operation in those tables shows here as other bytes on the wire. The module's replies are
// scripted too, in the width this table gives.
enum GoldenOperation { Get, Set, Call };

struct GoldenRow {
    const char* name;
    uint8_t command;
    uint8_t option;
    GoldenOperation operation;
    int width; // value bytes (none for a call)
    int lead;  // the parameter or subindex byte before any value; -1 for none
    // Runs the operation on index 0 with value (sets) or stores what the get returned in got; a
    // getter of another width than the row's does not compile.
    aErr (*run)(Corvane::Module* module, uint32_t value, uint32_t& got);
};

// The operation's call; out is the getters' output, of the row's width.
#define GOLDEN_CALL(Class, bits, op, ...)                                                          \
    [](Corvane::Module* module, [[maybe_unused]] uint32_t value, uint32_t& got) {                  \
        Corvane::Class entity;                                                                     \
        entity.init(module, 0);                                                                    \
        [[maybe_unused]] uint##bits##_t out = 0;                                                   \
        const aErr result = entity.op(__VA_ARGS__);                                                \
        got = out;                                                                                 \
        return result;                                                                             \
    }
#define GET(Class, bits, op) GOLDEN_CALL(Class, bits, op, &out)
#define GET_AT(Class, bits, op, lead) GOLDEN_CALL(Class, bits, op, lead, &out)
#define SET(Class, bits, op) GOLDEN_CALL(Class, bits, op, static_cast<uint##bits##_t>(value))
#define SET_AT(Class, bits, op, lead)                                                              \
    GOLDEN_CALL(Class, bits, op, lead, static_cast<uint##bits##_t>(value))
#define CALL(Class, op) GOLDEN_CALL(Class, 8, op)

const GoldenRow kGoldenRows[] = {
    {"SystemClass::getSerialNumber", 3, 9, Get, 4, -1, GET(SystemClass, 32, getSerialNumber)},
    {"SystemClass::getVersion", 3, 7, Get, 4, -1, GET(SystemClass, 32, getVersion)},
    {"SystemClass::setLED", 3, 4, Set, 1, -1, SET(SystemClass, 8, setLED)},
    {"SystemClass::getLED", 3, 4, Get, 1, -1, GET(SystemClass, 8, getLED)},
    {"SystemClass::save", 3, 10, Call, 0, -1, CALL(SystemClass, save)},
    {"USBClass::setPortEnable", 18, 1, Set, 1, -1, SET(USBClass, 8, setPortEnable)},
    {"USBClass::getPortCurrent", 18, 7, Get, 4, 3, GET_AT(USBClass, 32, getPortCurrent, 3)},
    {"USBClass::setPortCurrentLimit", 18, 17, Set, 4, 2,
     SET_AT(USBClass, 32, setPortCurrentLimit, 2)},
    {"MuxClass::getChannelVoltage", 6, 3, Get, 4, 1, GET_AT(MuxClass, 32, getChannelVoltage, 1)},
    {"EqualizerClass::setReceiverConfig", 15, 1, Set, 1, 4,
     SET_AT(EqualizerClass, 8, setReceiverConfig, 4)},
    {"PointerClass::getShort", 7, 5, Get, 2, -1, GET(PointerClass, 16, getShort)},
    {"AnalogClass::setValue", 30, 2, Set, 2, -1, SET(AnalogClass, 16, setValue)},
    {"AnalogClass::getValue", 30, 2, Get, 2, -1, GET(AnalogClass, 16, getValue)},
    {"RailClass::getVoltage", 32, 1, Get, 4, -1, GET(RailClass, 32, getVoltage)},
    {"RailClass::setEnable", 32, 5, Set, 1, -1, SET(RailClass, 8, setEnable)},
    {"RailClass::clearFaults", 32, 20, Call, 0, -1, CALL(RailClass, clearFaults)},
    {"TemperatureClass::getValue", 33, 1, Get, 4, -1, GET(TemperatureClass, 32, getValue)},
    {"PortClass::getCC1State", 37, 45, Get, 2, -1, GET(PortClass, 16, getCC1State)},
    {"USBSystemClass::getUpstream", 38, 2, Get, 1, -1, GET(USBSystemClass, 8, getUpstream)},
    {"EthernetClass::setCorvanedPort", 39, 13, Set, 2, -1, SET(EthernetClass, 16, setCorvanedPort)},
    {"POEClass::getPair34Current", 40, 16, Get, 4, -1, GET(POEClass, 32, getPair34Current)},
    {"TimerClass::setExpiration", 79, 1, Set, 4, -1, SET(TimerClass, 32, setExpiration)},
    {"ClockClass::setYear", 83, 1, Set, 2, -1, SET(ClockClass, 16, setYear)},
    {"ClockClass::getMonth", 83, 2, Get, 1, -1, GET(ClockClass, 8, getMonth)},
};

#undef GET
#undef GET_AT
#undef SET
#undef SET_AT
#undef CALL
#undef GOLDEN_CALL

constexpr uint32_t kGoldenValue = 0xA1B2C3D4;

class EntityGolden : public ConnectedModule {
  protected:
    PeerOptions peerOptions() override {
        PeerOptions options;
        for (const GoldenRow& row : kGoldenRows)
            options.handlers[row.command] = [this](ModuleConnection& connection,
                                                   const WirePacket& request) {
                const GoldenRow* row = current.load();
                if (row == nullptr || request.length < 3)
                    return; // a request outside the table's rows
                // Answered for the request's own option, so a wrong one fails by its bytes.
                WirePacket reply(connection.identity().address,
                                 {request.data[0], uint8_t(request.data[1] & 0x3F),
                                  uint8_t(request.data[2] & 0x1F)});
                if ((request.data[1] & 0xC0) == 0x80) { // a set or a call: acknowledged
                    reply.data[1] |= 0xC0;
                } else {
                    for (int i = row->width - 1; i >= 0; --i)
                        reply.data[reply.length++] = uint8_t(kGoldenValue >> (8 * i));
                }
                connection.send(reply);
            };
        return options;
    }
    std::atomic<const GoldenRow*> current{nullptr};
};

TEST_F(EntityGolden, OperationsPutTheClassTablesBytesOnTheWire) {
    for (const GoldenRow& row : kGoldenRows) {
        SCOPED_TRACE(row.name);
        const uint32_t value =
            row.width == 4 ? kGoldenValue : kGoldenValue & ((1u << (8 * row.width)) - 1);
        std::vector<uint8_t> expected{
            row.command, uint8_t(row.option | (row.operation == Get ? 0x40 : 0x80)), 0x20};
        if (row.lead >= 0)
            expected.push_back(uint8_t(row.lead));
        for (int i = row.operation == Set ? row.width - 1 : -1; i >= 0; --i)
            expected.push_back(uint8_t(value >> (8 * i)));
        const size_t before = peer->received(row.command).size();
        current = &row;
        uint32_t got = 0;
        EXPECT_EQ(row.run(module.get(), value, got), aErrNone);
        current = nullptr;
        const auto seen = peer->received(row.command);
        ASSERT_EQ(seen.size(), before + 1);
        EXPECT_EQ(std::vector<uint8_t>(seen.back().data.begin(),
                                       seen.back().data.begin() + seen.back().length),
                  expected);
        if (row.operation == Get) {
            EXPECT_EQ(got, value);
        }
    }
}

} // namespace
