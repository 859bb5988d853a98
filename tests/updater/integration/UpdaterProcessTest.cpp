// The Updater as a process: what reaches stdout and stderr, and its exit status.
#include "Base64.h"
#include "BirdWriter.h"
#include "ScriptedHttpServer.h"
#include "UpdaterProcessFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr const char* kVersionLine = "Updater (Version: 2.11.4 Sep 23 2025)\n";

std::string golden(const char* name) {
    std::ifstream file(std::string(CORVANE_FIXTURES_DIR) + "/usage/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

using UpdaterProcess = testsupport::UpdaterProcessFixture;

TEST_F(UpdaterProcess, NoArgumentsShowsVersionAndShortUsage) {
    auto r = run({});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, golden("short.txt"));
    EXPECT_FALSE(std::filesystem::exists(home / ".quendra")); // no command, no store
}

TEST_F(UpdaterProcess, HelpShowsTheFullUsageAndIgnoresWhatFollows) {
    for (const char* help : {"-h", "-H", "--help", "--he", "/h"}) {
        auto r = run({help, "-Q", "-d", "12XY"});
        EXPECT_EQ(r.exitStatus, 0) << help;
        EXPECT_EQ(r.out, kVersionLine) << help;
        EXPECT_EQ(r.err, golden("full.txt")) << help;
    }
}

TEST_F(UpdaterProcess, InvalidSerialNumberFailsWithVersionAndShortUsage) {
    auto r = run({"-d", "12XY"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "Invalid serial number obtained from argument [12XY]\n" + golden("short.txt"));
}

TEST_F(UpdaterProcess, DeviceInfoPreparesTheStoreAndSucceeds) {
    ScopedTempDir store;
    auto r = run({"-I", "-d", "40F5849A", "-i", store.path()});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, kVersionLine + ("The store " + store / "updater") +
                         " has no entry for device 40F5849A\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_directory(store / "updater"));
    EXPECT_FALSE(std::filesystem::exists(home / ".quendra"));
}

TEST_F(UpdaterProcess, DefaultStoreLivesUnderHome) {
    auto r = run({"-I", "-d", "40F5849A"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_directory(home / ".quendra/updater"));
}

TEST_F(UpdaterProcess, UpdateWithABuildNotInTheStoreDoesNotDownloadIt) {
    auto r = run({"-U", "-d", "0x40F5849A", "-b", "77"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, std::string(kVersionLine) + "Updating firmware with build: 77\n");
    EXPECT_EQ(r.err, "Failed to load bird file\n");
    EXPECT_FALSE(std::filesystem::exists(home / ".quendra/updater/40F5849A/77.bird"));
}

TEST_F(UpdaterProcess, RecoverySampleTakesTheSerialPortPathAsValue) {
    auto r = run({"-U", "-t", "RECOVER", "-s", "/dev/serial"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "serial port /dev/serial does not exist\nCould not get Device Identifier\n");
}

TEST_F(UpdaterProcess, DebugMaskTakesEffectWhenRead) {
    const std::string prefixTrace = "Discarding '0x' serial number prefix\n";
    auto before = run({"-X", "1", "-d", "0x1234"});
    EXPECT_EQ(before.exitStatus, 0);
    EXPECT_EQ(before.err, prefixTrace + golden("short.txt"));

    auto after = run({"-d", "0x1234", "-X", "1"});
    EXPECT_EQ(after.exitStatus, 0);
    EXPECT_EQ(after.err, golden("short.txt"));

    auto otherBit = run({"-X", "0x100", "-d", "0x1234"});
    EXPECT_EQ(otherBit.err, golden("short.txt"));

    // Wider than 32 bits: every bit, not whatever the low word happens to hold.
    auto wide = run({"-X", "0x100000000", "-d", "0x1234"});
    EXPECT_EQ(wide.err.find(prefixTrace), 0u) << wide.err;
}

TEST_F(UpdaterProcess, DebugMaskWithStrayCharactersIsReportedAndIgnored) {
    auto r = run({"-X", "12z", "-d", "0x1234"});
    EXPECT_EQ(r.exitStatus, 0); // the run goes on
    EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [z]\n" +
                         golden("short.txt"));
}

TEST_F(UpdaterProcess, ApplicationParametersAreTracedUnderTheAppBit) {
    auto r = run({"-X", "0x10000", "stray", "-d", "40F5849A"});
    EXPECT_EQ(r.exitStatus, 1);
    std::string trace = "\nApplication parameters:[Updater]\n\t[" + std::string(UPDATER_BIN) +
                        "]\n\t[-X]\n\t[0x10000]\n\t[-d]\n\t[40F5849A]\n\t[stray]\n";
    EXPECT_EQ(r.err, "Unexpected argument: [stray]\n" + trace + golden("short.txt"));
}

TEST_F(UpdaterProcess, StoreThatCannotBeMadeFailsTheRun) {
    std::ofstream(home / "file") << "in the way";
    auto r = run({"-I", "-d", "40F5849A", "-i", home / "file"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Could not find updater directory at " + home / "file" + "/updater\n");
}

TEST_F(UpdaterProcess, NothingOfProgressReachesAPipe) {
    using namespace std::chrono_literals;
    using testsupport::httpReply;
    // A download slow enough for the spinner to turn several times on a terminal.
    BirdWriter bird;
    bird.addFirmware(0x10000, std::vector<uint8_t>(16, 0xA5));
    bird.setInfoField(2, "40F5849A");
    const std::vector<uint8_t> bytes = bird.fileBytes();
    testsupport::ScriptedHttpServer server({
        httpReply(200, "ok\n"),
        httpReply(200, "ok\n1234\nCVN-HUB\n"),
        httpReply(200, "ok\n1234;1.0.0\n"),
        httpReply(200, "ok\n" + base64Encode(bytes.data(), bytes.size()) + "\n", 350ms),
    });
    auto r = run({"-G", "-d", "40F5849A", "-u", server.url()});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.out.find("Downloading"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

} // namespace
