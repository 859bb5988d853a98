// The beacon answer's byte layout and the beacon interface setting's checks and backup.
#include "aBeacon.h"
#include "aServer_Internal.h"
#include "corvane/aDiscovery.h"
#include "corvane/zBeaconInterface.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SharingBeacon, AnswerIsATypeFourLinkSpecInLittleEndianWords) {
    uint8_t answer[128];
    std::memset(answer, 0xEE, sizeof answer);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    uint32_t address;
    std::memcpy(&address, loopback, 4);
    aServer_BeaconAnswer(0x11223344, 0x13, address, 0x1F50, answer);
    uint8_t expected[128] = {};
    const uint8_t head[32] = {4, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0,   0, 0, 0, 0,    0,    0, 0,
                              0, 0, 0, 0, 0x13, 0,    0,    0,    127, 0, 0, 1, 0x50, 0x1F, 0, 0};
    std::memcpy(expected, head, sizeof head);
    EXPECT_EQ(0, std::memcmp(answer, expected, sizeof expected));

    linkSpec spec;
    std::memcpy(&spec, answer, sizeof spec);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(AETHER));
    EXPECT_EQ(spec.serialNumber, 0x11223344u);
    EXPECT_EQ(spec.ipAddress, address);
    EXPECT_EQ(spec.port, 0x1F50u);
}

TEST(SharingBeacon, OnlyAServersAnswerIsTakenForOne) {
    uint8_t answer[129];
    aServer_BeaconAnswer(0x11223344, 0x13, 0x0100007F, 4000, answer);
    linkSpec spec;
    ASSERT_TRUE(corvane::parseServerAnswer(answer, 128, spec));
    EXPECT_EQ(spec.port, 4000u);
    struct Case {
        const char* what;
        std::size_t offset;
        uint8_t value;
        std::size_t size;
    } const cases[] = {
        {"one byte short", 0, 4, 127}, {"one byte long", 0, 4, 129},
        {"a serial link", 0, 3, 128},  {"a TCP/IP module", 0, 2, 128},
        {"no address", 24, 0, 128},    {"a port past 65535", 30, 1, 128},
        {"a port name", 32, '/', 128}, {"a byte at the end", 127, 1, 128},
    };
    for (const Case& c : cases) {
        uint8_t bent[129] = {};
        std::memcpy(bent, answer, 128);
        bent[c.offset] = c.value;
        if (c.offset == 24)
            std::memset(bent + 24, 0, 4);
        EXPECT_FALSE(corvane::parseServerAnswer(bent, c.size, spec)) << c.what;
    }
    uint8_t noPort[128];
    aServer_BeaconAnswer(0x11223344, 0x13, 0x0100007F, 0, noPort);
    EXPECT_FALSE(corvane::parseServerAnswer(noPort, 128, spec));
}

TEST(SharingBeacon, InterfaceSettingTakesAddressesOnlyAndRestoresTheBackup) {
    for (const char* bad : {"eth0", "127.0.0", "1.2.3.4.5", "localhost"})
        EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));

    ASSERT_TRUE(zBeaconInterface_setAndLock("10.1.2.3"));
    EXPECT_STREQ(zBeaconInterface_get(), "10.1.2.3");
    zBeaconInterface_unlock();

    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("127.0.0.1"));
    EXPECT_STREQ(zBeaconInterface_get(), "127.0.0.1");
    EXPECT_STREQ(zBeaconInterface_getBackup(), "10.1.2.3");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_STREQ(zBeaconInterface_get(), "10.1.2.3");
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    zBeaconInterface_unlock();
}

} // namespace
