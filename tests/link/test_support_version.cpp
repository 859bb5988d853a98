// Error texts, packed versions, the library version, model names and the millisecond clock.
#include "corvane/aDefs.h"
#include "corvane/aError.h"
#include "corvane/aTime.h"
#include "corvane/aVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(ErrorText, KnownCodesAndCodesBeyondTheTable) {
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Corvane command to short");
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(35)), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(100)), "Unknown error");
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(-1)), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(-1)), "Unknown error");
}

TEST(ErrorText, EveryCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int code = 0; code <= aErrUnknown; ++code) {
        const std::string text = aError_GetErrorText(static_cast<aErr>(code));
        EXPECT_EQ(text.rfind("aErr", 0), 0u) << code;
        EXPECT_TRUE(texts.insert(text).second) << "duplicate text " << text;
        EXPECT_STRNE(aError_GetErrorDescription(static_cast<aErr>(code)), "") << code;
    }
}

TEST(VersionPack, LegacyAndCurrentLayouts) {
    EXPECT_EQ(aVersion_Pack(2, 14, 7), 0x2E000007u);
    EXPECT_EQ(aVersion_Pack(2, 15, 0), 0x2F020F00u);
    EXPECT_EQ(aVersion_Pack(3, 0, 1), 0x2F030001u);
    EXPECT_EQ(aVersion_Pack(1, 9, 200), 0x190000C8u);
    // The packed patch is one byte; a larger one must not leak into the minor field.
    EXPECT_EQ(aVersion_Pack(3, 1, 0x1FF), 0x2F0301FFu);
    EXPECT_EQ(aVersion_Pack(2, 3, 0x1FF), 0x230000FFu);
}

TEST(VersionPack, ParseGivesBackTheParts) {
    struct Case {
        uint8_t major, minor;
        uint32_t patch;
        bool legacy;
    } cases[] = {{2, 14, 7, true},
                 {2, 15, 0, false},
                 {3, 0, 1, false},
                 {0, 0, 0, true},
                 {255, 255, 255, false}};
    for (const auto& c : cases) {
        const uint32_t packed = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(aVersion_IsLegacyFormat(packed), c.legacy) << std::hex << packed;
        EXPECT_EQ(aVersion_ParseMajor(packed), c.major) << std::hex << packed;
        EXPECT_EQ(aVersion_ParseMinor(packed), c.minor) << std::hex << packed;
        EXPECT_EQ(aVersion_ParsePatch(packed), c.patch) << std::hex << packed;
    }
    // A legacy word carries a 24-bit patch.
    EXPECT_EQ(aVersion_ParseMajor(0x10000123u), 1);
    EXPECT_EQ(aVersion_ParseMinor(0x10000123u), 0);
    EXPECT_EQ(aVersion_ParsePatch(0x10000123u), 291u);
    EXPECT_EQ(aVersion_ParsePatch(0x2EFFFFFFu), 0xFFFFFFu);
}

TEST(VersionPack, ParseStringAndItsBufferLimit) {
    char text[15];
    EXPECT_EQ(aVersion_ParseString(0x10000123u, text, sizeof text), 7);
    EXPECT_STREQ(text, "1.0.291");
    // The longest text of either layout fits in 15 bytes.
    EXPECT_EQ(aVersion_ParseString(0x2FFFFFFFu, text, sizeof text), 11);
    EXPECT_STREQ(text, "255.255.255");
    EXPECT_EQ(aVersion_ParseString(0x1FFFFFFFu, text, sizeof text), 13);
    EXPECT_STREQ(text, "1.15.16777215");
    char small[7];
    EXPECT_EQ(aVersion_ParseString(0x10000123u, small, sizeof small), -1);
    EXPECT_EQ(aVersion_ParseString(0x10000123u, nullptr, 15), -1);
}

TEST(LibraryVersion, ValueStringAndComparisons) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 11);
    EXPECT_EQ(aVersion_GetPatch(), 4u);
    EXPECT_STREQ(aVersion_GetString(), "2.11.4");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());

    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 4));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 5));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 99, 99));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 0));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));

    EXPECT_TRUE(aVersion_IsAtLeastCompare(1, 2, 3, 1, 2, 3));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 2, 3, 1, 3, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 0, 0, 1, 255, 255));
}

TEST(LibraryVersion, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(nullptr), aErrParam);
}

TEST(ModelNames, SeventeenNamedCodesBetween4And27) {
    std::set<std::string> names;
    for (int code = 0; code <= 255; ++code) {
        const std::string name = aDefs_GetModelName(static_cast<uint8_t>(code));
        if (name == "Unknown")
            continue;
        EXPECT_GE(code, 4);
        EXPECT_LE(code, 27);
        EXPECT_TRUE(names.insert(name).second) << "duplicate name " << name;
    }
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(aDefs_GetModelName(0), "Unknown");
    EXPECT_STREQ(aDefs_GetModelName(200), "Unknown");
}

TEST(Clock, MonotonicAndSleepsAtLeastTheTimeAsked) {
    const uint32_t before = aTime_GetMSTicks();
    EXPECT_EQ(aTime_MSSleep(20), aErrNone);
    const uint32_t elapsed = aTime_GetMSTicks() - before; // unsigned difference survives a wrap
    EXPECT_GE(elapsed, 20u);
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
}
