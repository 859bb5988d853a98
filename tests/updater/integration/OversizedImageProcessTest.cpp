// The Updater as a process against BIRD files whose image decompresses past the image limit: every
// command that loads one refuses it, says how to raise the limit, and stores nothing.
#include "Base64.h"
#include "BirdBomb.h"
#include "ScriptedHttpServer.h"
#include "UpdaterProcessFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testsupport::httpReply;

constexpr const char* kRefusal =
    "its image decompresses to more than 64 MiB, more than any module's firmware; set "
    "CORVANE_BIRD_IMAGE_LIMIT_MIB to a larger number of MiB to load it";

class OversizedImages : public testsupport::UpdaterProcessFixture {};

TEST_F(OversizedImages, EveryCommandRefusesThemAndNamesTheLimit) {
    // 65 MiB of zeros behind the info block, in a file large enough for the 8:1 rule.
    const std::vector<uint8_t> bomb = testsupport::birdBombBytes({65 << 20, true});
    const std::string path = home / "bomb.bird";
    const fs::path module = fs::path(home.path()) / ".quendra" / "updater" / "40F5849A";
    fs::create_directories(module);
    for (const std::string& file : {path, (module / "1234.bird").string()}) {
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bomb.data()),
                   static_cast<std::streamsize>(bomb.size()));
    }
    const testsupport::ScriptedHttpServer server({
        httpReply(200, "ok\n"),                // ping
        httpReply(200, "ok\n1300\nCVN-HUB\n"), // latest build
        httpReply(200, "ok\n1300;6.6.6\n"),    // build list for validation
        httpReply(200, "ok\n" + base64Encode(bomb.data(), bomb.size()) + "\n"),
    });

    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> limit; // CORVANE_BIRD_IMAGE_LIMIT_MIB
        int exitStatus;
        std::string out; // expected in standard output
        std::string err; // all of standard error
    };
    const std::string couldNot = "Could not load BIRD file " + path + ": ";
    const std::vector<Case> cases = {
        {{"-C", "-f", path}, std::nullopt, 1, "", couldNot + kRefusal + "\n"},
        {{"-I", "-d", "40F5849A"},
         std::nullopt,
         0,
         std::string("  1234.bird (does not load: ") + kRefusal + ")\n",
         ""},
        {{"-U", "-d", "40F5849A", "-f", path},
         std::nullopt,
         1,
         "",
         couldNot + kRefusal + "\nFailed to load bird file\n"},
        {{"-G", "-d", "40F5849A", "-u", server.url()},
         std::nullopt,
         1,
         "",
         std::string("The server's file for build 1300 is not a BIRD file for device 40F5849A: ") +
             kRefusal + "\n"},
        // The way to raise the limit, and a setting that is no limit.
        {{"-C", "-f", path}, "66", 0, "Block walk: matched", ""},
        {{"-C", "-f", path},
         "64M",
         1,
         "",
         couldNot +
             "CORVANE_BIRD_IMAGE_LIMIT_MIB=64M is not a whole number of MiB from 1 to 4095\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " limit " + c.limit.value_or("default"));
        testsupport::ProcessOptions options;
        options.environment["HOME"] = home.path();
        options.environment["CORVANE_BIRD_IMAGE_LIMIT_MIB"] = c.limit;
        const testsupport::ProcessResult r = testsupport::runProcess(UPDATER_BIN, c.args, options);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << r.err;
        EXPECT_THAT(r.out, HasSubstr(c.out));
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_FALSE(fs::exists(module / "1300.bird"));
}

} // namespace
