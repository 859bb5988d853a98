// Base64 codec of the BIRD file transfer.
#include "Base64.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Base64, DecodesGroupsAndPadding) {
    std::vector<uint8_t> out;
    ASSERT_TRUE(base64Decode("QUJD", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0x41, 0x42, 0x43}));
    ASSERT_TRUE(base64Decode("QUI=", out));
    EXPECT_EQ(out, bytes("AB"));
    ASSERT_TRUE(base64Decode("QQ==", out));
    EXPECT_EQ(out, bytes("A"));
    ASSERT_TRUE(base64Decode("", out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(base64Decode("+/+/", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFB, 0xFF, 0xBF}));
}

TEST(Base64, RejectsBadLengthAndForeignCharacters) {
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_FALSE(base64Decode("QUJDQU", out)); // 6 characters
    EXPECT_TRUE(out.empty());
    for (const char* text :
         {"QU!D", "QUJD\r\n==", "QU JD", "QUJDQUJ\r", "Q=JD", "QUJD====", "=QUJ", "QUJD-_AA"}) {
        out = {9};
        EXPECT_FALSE(base64Decode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 300; ++i) {
        data.push_back(static_cast<uint8_t>(i * 7 + 3));
    }
    for (size_t n = 0; n <= data.size(); ++n) {
        const std::string text = base64Encode(data.data(), n);
        ASSERT_EQ(text.size() % 4, 0u);
        std::vector<uint8_t> out;
        ASSERT_TRUE(base64Decode(text, out)) << n;
        ASSERT_EQ(out, std::vector<uint8_t>(data.begin(), data.begin() + n));
    }
    EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>("ABC"), 3), "QUJD");
    EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>("AB"), 2), "QUI=");
}

} // namespace
