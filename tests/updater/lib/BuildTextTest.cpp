// The one reading of build numbers and versions that the Updater, the update server and the
// virtual module share.
#include "BuildText.h"

#include <gtest/gtest.h>

namespace {

TEST(BuildText, BuildNumbers) {
    const struct {
        const char* text;
        std::optional<uint32_t> build;
    } cases[] = {
        {"0", 0u},
        {"1234", 1234u},
        {"0012", 12u}, // decimal, never octal
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"12x", std::nullopt},
        {"0x10", std::nullopt},
        {" 12", std::nullopt},
        {"12 ", std::nullopt},
        {"+12", std::nullopt},
        {"-1", std::nullopt},
        {"12\r", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseBuildNumber(c.text), c.build) << "[" << c.text << "]";
    }
}

TEST(BuildText, Versions) {
    const struct {
        const char* text;
        std::optional<FirmwareVersion> version;
        const char* reason;
    } cases[] = {
        {"2.11.4", FirmwareVersion{2, 11, 4}, ""},
        {"02.011.0004", FirmwareVersion{2, 11, 4}, ""},
        {"255.255.4294967295", FirmwareVersion{255, 255, 4294967295u}, ""},
        // Major and minor are bytes wherever a module or the comparison meets them.
        {"300.0.0", std::nullopt, "invalid number in version [300.0.0]"},
        {"2.256.0", std::nullopt, "invalid number in version [2.256.0]"},
        {"2.11.4294967296", std::nullopt, "invalid number in version [2.11.4294967296]"},
        {"2.x.0", std::nullopt, "invalid number in version [2.x.0]"},
        {"2..4", std::nullopt, "invalid number in version [2..4]"},
        {"2.11.4 ", std::nullopt, "invalid number in version [2.11.4 ]"},
        {"-1.0.0", std::nullopt, "invalid number in version [-1.0.0]"},
        {"2.11", std::nullopt, "too few parts in version [2.11]"},
        {"", std::nullopt, "too few parts in version []"},
        {"1.0.0.0", std::nullopt, "too many parts in version [1.0.0.0]"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_EQ(parseFirmwareVersion(c.text, &reason), c.version) << c.text;
        EXPECT_EQ(reason, c.reason) << c.text;
    }
    EXPECT_LT((FirmwareVersion{2, 9, 10}), (FirmwareVersion{2, 11, 4}));
    EXPECT_LT((FirmwareVersion{2, 11, 4}), (FirmwareVersion{2, 11, 10}));
    EXPECT_LT((FirmwareVersion{2, 255, 9}), (FirmwareVersion{3, 0, 0}));
}

} // namespace
