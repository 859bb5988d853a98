// Corvane::Module against the virtual module: connect paths, address adoption, the module
// queries and the debug echo.
#include "ObjectPeer.h"

using namespace objecttest;
using Corvane::Module;
using Corvane::Tools::ModuleConnection;

namespace {

TEST(ModuleConnect, AdoptsTheReportedAddressOnlyWithNetworking) {
    ModulePeer peer(PeerOptions{6, {}});
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
