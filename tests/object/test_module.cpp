// Corvane::Module against the virtual module: connect paths, address adoption, the module
// queries and the debug echo.
#include "ObjectPeer.h"

#include <algorithm>
#include <map>

using namespace objecttest;
using Corvane::Module;
using Corvane::Tools::ModuleConnection;

namespace {

TEST(ModuleConnect, AdoptsTheReportedAddressOnlyWithNetworking) {
    ModulePeer peer(PeerOptions{6, {}, {}});
    Module networked(2);
    ASSERT_EQ(networked.connectFromSpec(peer.spec()), aErrNone);
    EXPECT_EQ(networked.getModuleAddress(), 6);

    Module fixed(2, false, 0);
    ASSERT_EQ(fixed.connectFromSpec(peer.spec()), aErrNone);
    EXPECT_EQ(fixed.getModuleAddress(), 2);
    // Both share the one engine link to that module; each drops its own use.
    EXPECT_EQ(networked.getLink()->getStatus(), LINK_RUNNING);
    fixed.disconnect();
    EXPECT_TRUE(networked.isConnected());
}

TEST(ModuleConnect, RefusalsBeforeAnythingIsSent) {
    Module module(2);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    EXPECT_EQ(module.reconnect(), aErrConfiguration);
    linkSpec spec{};
    EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.debug(nullptr, 0), aErrConnection);
    EXPECT_EQ(module.getStatus(), LINK_ERROR);
}

TEST(ModuleConnect, ThroughARoutersLinkKeepsItsAddress) {
    ModulePeer peer;
    Module router(2);
    aEtherConfig plain;
    plain.enabled = false; // reach the router's module over the router's own engine link
    ASSERT_EQ(router.setConfig(plain), aErrNone);
    ASSERT_EQ(router.connectFromSpec(peer.spec()), aErrNone);

    Module behind(8);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(behind.getModuleAddress(), 8);
    linkSpec spec{};
    ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, uint32_t{TCPIP});
    EXPECT_EQ(spec.port, peer.spec().port);

    // Already running: nothing is sent and nothing changes.
    const uint64_t before = peer.module().stats().packetsReceived;
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(peer.module().stats().packetsReceived, before);

    Module orphan(4);
    EXPECT_EQ(orphan.connectThroughLinkModule(nullptr), aErrInitialization);
    Module unconnected(2);
    EXPECT_EQ(orphan.connectThroughLinkModule(&unconnected), aErrNotFound);
}

// Connecting to a module that never answers fails, and says so in its state as well.
TEST(ModuleConnect, ModuleThatNeverAnswersIsNotConnected) {
    ModulePeer peer;
    Corvane::Tools::FaultSettings mute;
    mute.mute = true;
    peer.module().setFaults(mute);
    Module module(2);
    EXPECT_EQ(module.connectFromSpec(peer.spec()), aErrNotReady);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), LINK_ERROR);
    // Nothing is left to disconnect first: the next attempt runs, and succeeds once it answers.
    peer.module().setFaults({});
    EXPECT_EQ(module.reconnect(), aErrNone);
    EXPECT_TRUE(module.isConnected());
}

WirePacket wire(uint8_t address, const std::vector<uint8_t>& bytes) {
    WirePacket packet;
    packet.address = address;
    packet.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), packet.data.begin());
    return packet;
}

// A router (the peer, address 2) over TCP/IP with modules 4 and 8 behind it, module 4 slow: its
// answer to an earlier request of the same kind arrives while module 8's is awaited, just
// before module 8's own.
class RouterWithALateModule : public ConnectedModule {
  protected:
    PeerOptions peerOptions() override {
        // By command: module 4's late reply and module 8's own.
        static const std::map<uint8_t, std::pair<std::vector<uint8_t>, std::vector<uint8_t>>>
            replies = {{73, {{73, 0xFF, 0, 0, 0, 4}, {73, 0xFF, 0, 0, 0, 8}}},
                       {4, {{4, 2, 0, 1, 0, 4}, {4, 2, 0, 1, 0, 8}}},
                       {94, {{94, 1, 4, 4}, {94, 1, 8, 8}}}};
        PeerOptions options;
        options.filter = [](ModuleConnection& c, const WirePacket& request) {
            if (request.address != 8 || request.length < 2)
                return false;
            if (request.data[0] == 94 && request.data[1] == 0x20) { // end of a transfer
                c.send(wire(8, {94, 0}));
                return true;
            }
            const auto reply = replies.find(request.data[0]);
            if (reply == replies.end())
                return false;
            c.send(wire(4, reply->second.first));
            c.send(wire(8, reply->second.second));
            return true;
        };
        return options;
    }

    void SetUp() override {
        ConnectedModule::SetUp();
        ASSERT_EQ(behind.connectThroughLinkModule(module.get()), aErrNone);
    }

    Module behind{8};
};

TEST_F(RouterWithALateModule, RepliesAreTakenFromTheModuleAsked) {
    uint32_t build = 0;
    EXPECT_EQ(behind.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 8u);
    uint32_t size = 0;
    EXPECT_EQ(behind.getLink()->storeSlotSize(8, 0, 1, &size), aErrNone);
    EXPECT_EQ(size, 8u);
    uint8_t data[28] = {};
    uint32_t unloaded = 0;
    EXPECT_EQ(behind.getLink()->getFactoryData(8, 1, data, sizeof data, &unloaded), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(data, data + unloaded), (std::vector<uint8_t>{8, 8}));
}

// Behind a router over TCP/IP there is no sharing server to go through: the module reconnects
// over the router's own kind of link, and holds its own use of it.
TEST_F(RouterWithALateModule, ModuleBehindReconnectsOnItsOwn) {
    linkSpec spec{};
    ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, uint32_t{TCPIP});
    ASSERT_EQ(behind.disconnect(), aErrNone);
    EXPECT_TRUE(module->isConnected());
    ASSERT_EQ(behind.reconnect(), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    EXPECT_EQ(behind.getModuleAddress(), 8);
    module->disconnect();
    uint32_t build = 0;
    EXPECT_EQ(behind.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 8u);
}

class ModuleQueries : public ConnectedModule {};

TEST_F(ModuleQueries, AnswersFromTheModelTable) {
    uint32_t build = 0;
    ASSERT_EQ(module->getBuild(&build), aErrNone);
    EXPECT_EQ(build, 0x00002A31u);
    EXPECT_EQ(module->getBuild(nullptr), aErrParam);

    uint8_t count = 0xEE;
    EXPECT_EQ(module->classQuantity(30, &count), aErrNone);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(module->classQuantity(50, &count), aErrNone);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module->subClassQuantity(18, 0, &count), aErrNone);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(module->entityGroup(30, 2, &count), aErrNone);
    EXPECT_EQ(count, 1);

    // The request layouts, byte for byte.
    const auto sent = peer->received(73);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], WirePacket(2, {73, 0xFF}));
    EXPECT_EQ(sent[1], WirePacket(2, {73, 4, 30}));
    EXPECT_EQ(sent[3], WirePacket(2, {73, 5, 18, 0}));
    EXPECT_EQ(sent[4], WirePacket(2, {73, 6, 30, 2}));
}

TEST_F(ModuleQueries, HasUEIAnswersAndRefusals) {
    struct Case {
        uint8_t command, option, index, operation;
        aErr expected;
    };
    const Case cases[] = {
        {3, 9, 0, 0x40, aErrNone},           {3, 9, 0, 0x00, aErrNone},
        {3, 9, 0, 0x80, aErrInvalidOption},  {3, 10, 0, 0x80, aErrNone},
        {3, 60, 0, 0x40, aErrInvalidOption}, {3, 9, 1, 0x40, aErrIndexRange},
        {99, 1, 0, 0x40, aErrInvalidEntity}, {3, 9, 0, 0xC0, aErrParam},
        {3, 9, 0, 0x41, aErrParam},
    };
    for (const Case& c : cases)
        EXPECT_EQ(module->hasUEI(c.command, c.option, c.index, c.operation), c.expected)
            << int(c.command) << "/" << int(c.option) << " op " << int(c.operation);
    const auto sent = peer->received(73);
    ASSERT_EQ(sent.size(), 7u); // the two refusals sent nothing
    EXPECT_EQ(sent[0], WirePacket(2, {73, 1, 3, 9, 0, 0x40}));
}

TEST_F(ModuleQueries, DebugEchoMustComeBackUnchanged) {
    const uint8_t data[] = {1, 2, 3, 0xFE};
    EXPECT_EQ(module->debug(data, sizeof data), aErrNone);
    EXPECT_EQ(module->debug(nullptr, 0), aErrNone);
    EXPECT_EQ(peer->received(23)[0], WirePacket(2, {23, 1, 2, 3, 0xFE}));
}

// A module whose replies are scripted, to see what the host makes of wrong ones.
class ScriptedQueries : public ConnectedModule {
  protected:
    PeerOptions peerOptions() override {
        PeerOptions options;
        options.handlers[73] = [](ModuleConnection& c, const WirePacket& request) {
            if (request.data[1] == 0xFF) // build with one byte missing
                c.send(WirePacket(2, {73, 0xFF, 0, 0, 1}));
            else if (request.data[1] == 4) // count of another class
                c.send(WirePacket(2, {73, 4, uint8_t(request.data[2] + 1), 7}));
        };
        options.handlers[23] = [](ModuleConnection& c, const WirePacket& request) {
            WirePacket echo = request;
            echo.data[1] ^= 0xFF;
            c.send(echo);
        };
        return options;
    }
};

TEST_F(ScriptedQueries, WrongRepliesAreErrors) {
    uint32_t build = 0xABCD;
    EXPECT_EQ(module->getBuild(&build), aErrSize);
    EXPECT_EQ(build, 0xABCDu);
    uint8_t count = 0xEE;
    EXPECT_EQ(module->classQuantity(30, &count), aErrUnknown);
    EXPECT_EQ(count, 0);
    const uint8_t data[] = {5, 6};
    EXPECT_EQ(module->debug(data, sizeof data), aErrIO);
}

} // namespace
