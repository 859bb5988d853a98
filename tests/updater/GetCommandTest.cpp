// The get flow (-G) in process against a scripted update server: its checks, messages, spinner
// and what it leaves in the store.
#include "Base64.h"
#include "BirdWriter.h"
#include "DebugCapture.h"
#include "RecordingDisplay.h"
#include "Retrieval.h"
#include "ScopedTempDir.h"
#include "ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::httpReply;
using testsupport::ScriptedReply;

constexpr uint32_t kSerial = 0x40F5849A;

// A BIRD file as the server sends it, for this module unless said otherwise.
std::string birdFile(const std::string& serial = "40F5849A", bool offsets = false) {
    BirdWriter writer;
    writer.addFirmware(0x10000, std::vector<uint8_t>(64, 0xA5));
    if (offsets) {
        writer.addOffsets(0x10010, 0);
    }
    writer.setInfoField(1, "2.11.4");
    writer.setInfoField(2, serial);
    const std::vector<uint8_t> bytes = writer.fileBytes();
    return std::string(bytes.begin(), bytes.end());
}

std::string base64(const std::string& bytes) {
    return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The replies of a get that reaches the download: ping, latest build, build list, then bird.
std::vector<ScriptedReply> getConversation(ScriptedReply bird) {
    return {httpReply(200, "ok\n"), httpReply(200, "ok\n1234\nCVN-HUB\n"),
            httpReply(200, "ok\n1234;1.0.0\n"), std::move(bird)};
}

class GetFlow : public testing::Test {
  protected:
    UpdaterContext context(const std::string& url) { return {url, store.path(), display}; }
    fs::path module() const { return fs::path(store.path()) / "40F5849A"; }

    ScopedTempDir store;
    RecordingDisplay display;
};

TEST_F(GetFlow, DownloadsOnAWorkerWhileTheSpinnerTurns) {
    const std::string bytes = birdFile();
    std::promise<void> release;
    ScriptedReply bird = httpReply(200, "ok\n" + base64(bytes) + "\n");
    bird.gate = release.get_future().share();
    testsupport::ScriptedHttpServer server(getConversation(bird));
    // The reply is held until the third step: two steps pass without the result, and the third
    // waits for it as long as it takes (within a hang guard).
    int steps = 0;
    RunSettings run(server.url(), store.path());
    run.spinnerStep = [&](const std::function<bool(std::chrono::milliseconds)>& done) {
        if (++steps == 3) {
            release.set_value();
        }
        return done(steps < 3 ? 0ms : 30s);
    };
    UpdaterContext ctx(run, display);
    EXPECT_EQ(Download_Firmware(ctx, kSerial, "", false), 1234u);

    EXPECT_EQ(display.messages(), (std::vector<std::string>{"Retrieving build 1234",
                                                            "Validating build 1234 with server",
                                                            "Build 1234 is valid"}));
    EXPECT_TRUE(display.errors().empty());
    // One step at once, one after each step without the result, then off.
    EXPECT_EQ(steps, 3);
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"spinner(on,Downloading)", "spinner(on,Downloading)",
                                        "spinner(on,Downloading)", "spinner(off,Downloading)"}));
    EXPECT_EQ(server.targets().back(),
              "/cgi/u?bld=1234&fw=CVN-HUB&no_cal=false&op=bird&sn=40F5849A&");

    EXPECT_EQ(readFile(module() / "1234.bird"), bytes);
    const std::string settings = readFile(module() / ".settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=1234.bird\n"), std::string::npos);
    EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos);
}

TEST_F(GetFlow, RefusesBadArgumentsBeforeAskingTheServer) {
    testsupport::ScriptedHttpServer server({httpReply(200, "ok\n")});
    UpdaterContext ctx = context(server.url());
    for (const char* build : {"abc", "-1", "4294967296", " ", "12x"}) {
        display.lines.clear();
        EXPECT_EQ(Download_Firmware(ctx, kSerial, build, false), 0u);
        EXPECT_EQ(display.errors(), std::vector<std::string>{"Build number '" + std::string(build) +
                                                             "' must be an number"});
    }
    display.lines.clear();
    EXPECT_EQ(Download_Firmware(ctx, 0, "", false), 0u);
    EXPECT_EQ(display.errors(), std::vector<std::string>{"Serial Number must be non-zero"});
    EXPECT_TRUE(server.targets().empty());
}

TEST_F(GetFlow, StoreProblemsEndTheFlow) {
    testsupport::ScriptedHttpServer server({httpReply(200, "ok\n")});
    const std::string file = store / "file";
    std::ofstream(file) << "in the way";
    UpdaterContext blocked{server.url(), file, display};
    EXPECT_EQ(Download_Firmware(blocked, kSerial, "", false), 0u);
    EXPECT_EQ(display.errors(),
              std::vector<std::string>{"Failed to Create UpdaterStore in: Download_Firmware - "
                                       "Exception: UpdaterStore: " +
                                       file + " exists and is a file"});

    display.lines.clear();
    std::ofstream(module()) << "a file where the module's directory belongs";
    UpdaterContext ctx = context(server.url());
    EXPECT_EQ(Download_Firmware(ctx, kSerial, "", false), 0u);
    EXPECT_EQ(display.errors(),
              std::vector<std::string>{"Could not create directory for storing BIRD file"});
}

TEST_F(GetFlow, ServerRefusals) {
    {
        testsupport::ScriptedHttpServer server({httpReply(200, "ok\n"), httpReply(404, "")});
        UpdaterContext ctx = context(server.url());
        EXPECT_EQ(Download_Firmware(ctx, kSerial, "", false), 0u);
        EXPECT_EQ(display.errors(), std::vector<std::string>{"No build information for device"});
        EXPECT_TRUE(fs::is_directory(module())) << "the entry is made before the server is asked";
    }
    {
        display.lines.clear();
        DebugCapture trace(DEBUG_Updater);
        testsupport::ScriptedHttpServer server({httpReply(200, "ok\n"),
                                                httpReply(200, "ok\nlatest\n"),
                                                httpReply(200, "ok\n1;1.0\n")});
        UpdaterContext ctx = context(server.url());
        EXPECT_EQ(Download_Firmware(ctx, kSerial, "", false), 0u);
        EXPECT_EQ(display.errors(), std::vector<std::string>{"No valid build 0"});
        EXPECT_NE(trace.text().find("Error: Could not convert latest to int.\n"),
                  std::string::npos);
    }
    {
        display.lines.clear();
        testsupport::ScriptedHttpServer server(getConversation(httpReply(200, "ok\n")));
        UpdaterContext ctx = context(server.url());
        EXPECT_EQ(Download_Firmware(ctx, kSerial, "1234", false), 0u);
        EXPECT_EQ(display.errors(),
                  std::vector<std::string>{"Failed to retrieve a valid BIRD file"});
    }
    EXPECT_FALSE(fs::exists(module() / "1234.bird"));
    EXPECT_EQ(readFile(module() / ".settings").find("LATEST_DOWNLOAD"), std::string::npos);
}

TEST_F(GetFlow, AFileThatCannotBeWrittenIsNotRecorded) {
    fs::create_directories(module() / "1234.bird"); // a directory where the file should go
    testsupport::ScriptedHttpServer server(
        getConversation(httpReply(200, "ok\n" + base64(birdFile()) + "\n")));
    UpdaterContext ctx = context(server.url());
    EXPECT_EQ(Download_Firmware(ctx, kSerial, "", false), 0u);
    ASSERT_EQ(display.errors().size(), 1u);
    EXPECT_EQ(display.errors()[0].rfind("Failed to write file with ", 0), 0u);
    EXPECT_EQ(readFile(module() / ".settings").find("LATEST_DOWNLOAD"), std::string::npos);
}

// What the server sends decides nothing until it loads as a BIRD file this module's update would
// take: otherwise the stored copy and its record stay as they were.
struct UntrustedReply {
    const char* name;
    std::string body;  // the reply to the bird request
    std::string error; // the start of the one error shown
};

class GetUntrustedReply : public GetFlow, public testing::WithParamInterface<UntrustedReply> {};

TEST_P(GetUntrustedReply, LeavesTheStoredCopyAndItsRecord) {
    fs::create_directories(module());
    std::ofstream(module() / "1234.bird") << "good old copy";
    const std::string settings = "CREATED_TIME=then\nLATEST_DOWNLOAD=1234.bird\n";
    std::ofstream(module() / ".settings") << settings;
    testsupport::ScriptedHttpServer server(getConversation(httpReply(200, GetParam().body)));
    UpdaterContext ctx = context(server.url());
    EXPECT_EQ(Download_Firmware(ctx, kSerial, "", false), 0u);
    ASSERT_EQ(display.errors().size(), 1u);
    EXPECT_EQ(display.errors()[0].rfind(GetParam().error, 0), 0u) << display.errors()[0];
    EXPECT_EQ(readFile(module() / "1234.bird"), "good old copy");
    EXPECT_EQ(readFile(module() / ".settings"), settings);
}

const std::string kNotForUs =
    "The server's file for build 1234 is not a BIRD file for device 40F5849A: ";

INSTANTIATE_TEST_SUITE_P(
    Get, GetUntrustedReply,
    testing::Values(
        UntrustedReply{"NotBird", "ok\n" + base64("<html>oops</html>") + "\n", kNotForUs},
        UntrustedReply{"Truncated", "ok\n" + base64(birdFile().substr(0, 40)) + "\n", kNotForUs},
        UntrustedReply{"OtherModule", "ok\n" + base64(birdFile("12345678")) + "\n",
                       kNotForUs + "built for 12345678"},
        UntrustedReply{"NoBlocks",
                       "ok\n" + base64([] {
                           const std::vector<uint8_t> bytes = BirdWriter().fileBytes();
                           return std::string(bytes.begin(), bytes.end());
                       }()) +
                           "\n",
                       kNotForUs + "no blocks"},
        UntrustedReply{"NotBase64", "ok\nQUJ\n", "The server's BIRD file for build 1234 is not"}),
    [](const auto& info) { return info.param.name; });

TEST_F(GetFlow, WrappedTextOffsetsAndLiveloadersAreStored) {
    const std::string bytes = birdFile("12345678", true); // the serial is written in on update
    std::string wrapped = base64(bytes);
    for (size_t at = 76; at < wrapped.size(); at += 78) {
        wrapped.insert(at, "\r\n");
    }
    testsupport::ScriptedHttpServer server(getConversation(httpReply(200, "ok\n" + wrapped)));
    UpdaterContext ctx = context(server.url());
    EXPECT_EQ(Download_Firmware(ctx, kSerial, "", false), 1234u);
    EXPECT_EQ(readFile(module() / "1234.bird"), bytes);

    // A liveloader fetched for the placeholder serial number names no module.
    const std::string loader = birdFile("12345678");
    testsupport::ScriptedHttpServer loaders(
        getConversation(httpReply(200, "ok\n" + base64(loader) + "\n")));
    UpdaterContext placeholder = context(loaders.url());
    EXPECT_EQ(Download_Firmware(placeholder, 0xDEADDEAD, "", false), 1234u);
}

TEST_F(GetFlow, BuildZeroIsNeverValidEvenWithOverride) {
    testsupport::ScriptedHttpServer server(
        {httpReply(200, "ok\n"), httpReply(200, "ok\nlatest\nCVN\n")});
    UpdaterContext ctx = context(server.url());
    EXPECT_EQ(Download_Firmware(ctx, kSerial, "", true), 0u);
    EXPECT_EQ(display.errors(), std::vector<std::string>{"No valid build 0"});
    EXPECT_EQ(server.targets().size(), 2u) << "nothing is downloaded";
}

TEST(LatestBuild, TheServersLineEndIsNoPartOfTheNumber) {
    DebugCapture trace(DEBUG_Updater);
    EXPECT_EQ(latestBuildNumber("1234"), 1234u);
    EXPECT_EQ(latestBuildNumber("1234\r"), 1234u);
    EXPECT_EQ(latestBuildNumber("12 34"), 0u);
    EXPECT_EQ(latestBuildNumber(""), 0u);
    EXPECT_EQ(trace.text(), "Error: Could not convert 12 34 to int.\n"
                            "Error: Could not convert  to int.\n");
}

TEST(ValidateBuild, KeysThatAreNoNumberMatchNothing) {
    testsupport::ScriptedHttpServer server({httpReply(200, "ok\nabc;1.0.0\n1234;1.0.0\n")});
    DebugCapture trace(DEBUG_Updater);
    EXPECT_TRUE(_validate_build(kSerial, 1234, server.url()));
    EXPECT_FALSE(_validate_build(kSerial, 0, server.url()));
    EXPECT_FALSE(_validate_build(kSerial, 1235, server.url()));
    EXPECT_NE(trace.text().find("Error: Could not convert abc to int.\n"), std::string::npos);
}

} // namespace
