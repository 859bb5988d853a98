// The platform's IPv4 text and byte-order rules, the same under every backend: strict dotted
// text only, and subnet broadcast addresses as the interface lists report them.
#include "platform/neutral/ipv4_rules.h"
#include "platform/udp.h"

#include <gtest/gtest.h>

namespace corvane::platform {
namespace {

TEST(PlatformIpv4, DottedTextRoundTripsAndAnythingElseIsRefused) {
    for (const char* text : {"0.0.0.0", "127.0.0.1", "10.1.20.255", "255.255.255.255"}) {
        uint32_t address = 0;
        ASSERT_EQ(parseIPv4(text, address), aErrNone) << text;
        char back[ipv4TextSize];
        ASSERT_EQ(formatIPv4(address, back, sizeof back), aErrNone);
        EXPECT_STREQ(back, text);
    }
    uint32_t loopback = 0;
    ASSERT_EQ(parseIPv4("127.0.0.1", loopback), aErrNone);
    EXPECT_EQ(ipv4ToHost(loopback), 0x7F000001u);
    EXPECT_EQ(ipv4ToNetwork(0x7F000001u), loopback);

    for (const char* text : {"", "1.2.3", "1.2.3.4.", "1.2.3.256", "01.2.3.4", "1.2.3.4 ", "1..3.4",
                             "1.2.3.0004", "a.b.c.d", "-1.2.3.4", "localhost"}) {
        uint32_t address = 0;
        EXPECT_EQ(parseIPv4(text, address), aErrParse) << text;
    }
    uint32_t unused = 0;
    EXPECT_EQ(parseIPv4(nullptr, unused), aErrParse);
    char small[15]; // one short of the longest address and its terminator
    EXPECT_EQ(formatIPv4(0xFFFFFFFFu, small, sizeof small), aErrSize);
}

TEST(PlatformIpv4, BroadcastFollowsThePrefixAndSmallSubnetsHaveNone) {
    uint32_t address = 0, mask = 0;
    ASSERT_EQ(parseIPv4("10.7.3.9", address), aErrNone);
    struct Case {
        const char* mask;
        const char* broadcast; // nullptr: none
    } cases[] = {{"255.0.0.0", "10.255.255.255"},  {"255.255.255.0", "10.7.3.255"},
                 {"255.255.255.252", "10.7.3.11"}, {"0.0.0.0", "255.255.255.255"},
                 {"255.255.255.254", nullptr},     {"255.255.255.255", nullptr}};
    for (const Case& c : cases) {
        ASSERT_EQ(parseIPv4(c.mask, mask), aErrNone);
        uint32_t broadcast = 0;
        const bool has = subnetBroadcast(address, prefixLengthOf(mask), broadcast);
        EXPECT_EQ(has, c.broadcast != nullptr) << c.mask;
        if (has && c.broadcast) {
            char text[ipv4TextSize];
            ASSERT_EQ(formatIPv4(broadcast, text, sizeof text), aErrNone);
            EXPECT_STREQ(text, c.broadcast) << c.mask;
        }
    }
}

} // namespace
} // namespace corvane::platform
