// Module discovery: the link specifier's byte layout and constructors.
#include "corvane/aDiscovery.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(LinkSpec, CreateCopyDestroyAndLayout) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    spec->serialNumber = 0x11223344;
    spec->ipAddress = 0x0100007F;
    spec->port = 8016;
    // Little-endian 32-bit words at their fixed offsets; everything else stays zero.
    uint8_t bytes[128];
    std::memcpy(bytes, spec, sizeof bytes);
    uint8_t expected[128] = {2, 0, 0, 0, 0x44, 0x33, 0x22, 0x11};
    const uint8_t tail[] = {0x7F, 0, 0, 1, 0x50, 0x1F, 0, 0};
    std::memcpy(expected + 24, tail, sizeof tail);
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));

    linkSpec* copy = aLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(0, std::memcmp(copy, spec, sizeof(linkSpec)));
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

} // namespace
