// Text from outside (server replies, stored names, attribute values, BIRD fields) reaches the
// terminal with its control bytes escaped, so it can neither move the cursor nor add a row.
#include "BirdWriter.h"
#include "InspectCommands.h"
#include "PrintableText.h"
#include "RecordingDisplay.h"
#include "ResultTables.h"
#include "ScopedTempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;

TEST(OutsideText, ControlBytesAreEscaped) {
    const struct {
        std::string raw;
        std::string shown;
    } cases[] = {
        {"plain 2.11.4 ünï", "plain 2.11.4 ünï"},
        {"\x1b[2J", "\\x1B[2J"},
        {"a\nfake row\r\t\\", "a\\nfake row\\r\\t\\\\"},
        {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7F"},
        // C1 controls, raw or as UTF-8 (0x9B is CSI), escaped byte by byte; every other UTF-8
        // character, continuation bytes 0x80 to 0x9F included, as it is.
        {"\x9b"
         "31mraw\x85",
         "\\x9B31mraw\\x85"},
        {"\xc2\x9b"
         "31m\xc2\x80",
         "\\xC2\\x9B31m\\xC2\\x80"},
        {"\xc2\xa0 \xe2\x80\x9b \xf0\x9f\x98\x80", "\xc2\xa0 \xe2\x80\x9b \xf0\x9f\x98\x80"},
        // Not UTF-8: a cut sequence, an overlong form and a stray byte above the C1 range.
        {"\xe2\x80 \xc0\x9b \xff", "\xe2\\x80 \xc0\\x9B \xff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printableText(c.raw), c.shown);
    }
}

TEST(OutsideText, ReachesTheTerminalEscaped) {
    RecordingDisplay display;
    printBuildTable(display, {{"1\n2", "\x1b[31mred"}}, 0x40F5849A);
    EXPECT_THAT(display.messages(), Contains("1\\n2           \t\\x1B[31mred    "));

    ScopedTempDir store;
    const fs::path module = fs::path(store.path()) / "40F5849A";
    fs::create_directories(module);
    std::ofstream(module / ".settings") << "NOTE=\x1b]0;title\x07\n";
    BirdWriter writer;
    writer.addFirmware(0x10000, std::vector<uint8_t>(16, 1));
    writer.setInfoField(1, "1.0\x1b[8m");
    std::string error;
    ASSERT_TRUE(writer.writeFile((module / "7.bird").string(), error)) << error;
    std::ofstream(module / "x\rEvil.bird") << "x";

    UpdaterContext context("http://127.0.0.1:1/cgi/u", store.path(), display);
    display.lines.clear();
    ASSERT_EQ(checkBirdCommand(context, (module / "7.bird").string()), CommandStatus::Succeeded);
    EXPECT_THAT(display.messages(), Contains(HasSubstr("-> 1.0\\x1B[8m")));

    display.lines.clear();
    ASSERT_EQ(deviceInfoCommand(context, 0x40F5849A), CommandStatus::Succeeded);
    EXPECT_THAT(display.messages(), Contains("  NOTE=\\x1B]0;title\\x07"));
    EXPECT_THAT(display.messages(), Contains(HasSubstr("version 1.0\\x1B[8m,")));
    EXPECT_THAT(display.messages(), Contains("  x\\rEvil.bird (not a BIRD file)"));
    for (const std::string& line : display.messages()) {
        for (const char c : line) {
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << line;
        }
    }
}

} // namespace
