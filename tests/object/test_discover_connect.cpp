// Connecting by discovery: a virtual module seen as a USB module through USB emulation, found
// by serial number or by model, and the refusals when nothing matches.
#include "ObjectPeer.h"

#include <cstdio>
#include <cstdlib>

using namespace objecttest;
using Corvane::Link;
using Corvane::Module;

namespace {

class DiscoverOverUsb : public ::testing::Test {
  protected:
    void SetUp() override {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%08X:%02X@127.0.0.1:%u", 0x1A2B3C4Du, 0x13u,
                      unsigned{peer.module().port()});
        setenv("CORVANE_USB_EMULATION", entry, 1);
        plainUsb.enabled = false; // a plain USB link, no sharing server
    }
    void TearDown() override { unsetenv("CORVANE_USB_EMULATION"); }

    ModulePeer peer{PeerOptions{4, {}, {}}};
    aEtherConfig plainUsb;
};

TEST_F(DiscoverOverUsb, FindsTheModuleBySerialNumberOrModel) {
    Module bySerial(2);
    ASSERT_EQ(bySerial.setConfig(plainUsb), aErrNone);
    ASSERT_EQ(bySerial.connect(USB, 0x1A2B3C4D), aErrNone);
    EXPECT_EQ(bySerial.getModuleAddress(), 4);
    linkSpec spec{};
    ASSERT_EQ(bySerial.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, uint32_t{USB});
    EXPECT_EQ(spec.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(spec.model, 0x13u);
    bySerial.disconnect();

    Module byModel(2, 0x13);
    ASSERT_EQ(byModel.setConfig(plainUsb), aErrNone);
    ASSERT_EQ(byModel.discoverAndConnect(USB, 0), aErrNone);
    uint32_t build = 0;
    EXPECT_EQ(byModel.getBuild(&build), aErrNone);
    EXPECT_NE(build, 0u);
}

TEST_F(DiscoverOverUsb, NothingMatchingIsNotFound) {
    Module otherModel(2, 0x55);
    aEtherConfig config = plainUsb;
    config.fallback = false;
    ASSERT_EQ(otherModel.setConfig(config), aErrNone);
    EXPECT_EQ(otherModel.discoverAndConnect(USB, 0), aErrNotFound);
    Link link("Link");
    ASSERT_EQ(link.setConfig(config), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(USB, 0x0BADF00D, 0), aErrNotFound);
    EXPECT_EQ(link.getStatus(), LINK_ERROR);

    std::list<linkSpec> found;
    EXPECT_EQ(Link::sDiscover(USB, &found, 0), aErrNone);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front().serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(Link::sDiscover(USB, static_cast<std::list<linkSpec>*>(nullptr), 0), aErrParam);
}

} // namespace
