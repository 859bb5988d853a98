// -G, -B, -L and -J as processes against the shipped update server on an ephemeral loopback port,
// and against a scripted responder for replies that server never sends.
#include "ProcessRunner.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "ScriptedHttpServer.h"
#include "UpdateServerProcess.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using testsupport::httpReply;

constexpr const char* kVersionLine = "Updater (Version: 2.11.4 Sep 23 2025)\n";

class Retrieval : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(std::string(UPDATER_BIN).empty() || std::string(UPDATE_SERVER_BIN).empty())
            << "the Updater or update-server is not built";
        testsupport::addBuild(catalogue(), "40F5849A", 1234, "2.11.4", 30000);
        testsupport::addBuild(catalogue(), "40F5849A", 1300, "2.11.10", 50000);
        testsupport::writeText(catalogue() / "40F5849A" / "firmware", "CVN-HUB\n");
        testsupport::writeText(catalogue() / "40F5849A" / "token", "eyJhbGciOi.eyJzdWIi.c2ln\n");
        server = std::make_unique<testsupport::UpdateServerProcess>(
            UPDATE_SERVER_BIN, catalogue().string(),
            (fs::path(dir.path()) / "server.log").string());
    }

    fs::path catalogue() const { return fs::path(dir.path()) / "catalogue"; }
    fs::path module() const {
        return fs::path(dir.path()) / "home" / ".quendra" / "updater" / "40F5849A";
    }

    // The Updater with HOME in the test's directory and the given server URL (default: ours).
    testsupport::ProcessResult run(std::vector<std::string> args, std::string url = "") {
        args.push_back("-u");
        args.push_back(url.empty() ? server->url() : url);
        testsupport::ProcessOptions options;
        options.environment["HOME"] = (fs::path(dir.path()) / "home").string();
        return testsupport::runProcess(UPDATER_BIN, args, options);
    }

    ScopedTempDir dir;
    std::unique_ptr<testsupport::UpdateServerProcess> server;
};

TEST_F(Retrieval, ListBuildsShowsTheServersBuildsNewestFirst) {
    auto r = run({"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string(kVersionLine) + "Build List for device [40F5849A]:\n\n"
                                                 "Build          \tVersion        \n"
                                                 "1300           \t2.11.10        \n"
                                                 "1234           \t2.11.4         \n");
    auto unknown = run({"-B", "-d", "12345678"});
    EXPECT_EQ(unknown.exitStatus, 0);
    EXPECT_EQ(unknown.err, "Failed to retrieve builds for 12345678\n");
    EXPECT_EQ(unknown.out, std::string(kVersionLine) + "No builds found for device [12345678]\n");
}

TEST_F(Retrieval, GetStoresTheLatestBuildForAModuleNeverSeenBefore) {
    ASSERT_FALSE(fs::exists(module()));
    auto r = run({"-G", "-d", "40F5849A", "-X", "0x10000"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kVersionLine) +
                         "Retrieving firmware for device with serial number 40F5849A\n"
                         "No build specified\n"
                         "Using Latest build\n"
                         "Retrieving build 1300\n"
                         "Validating build 1300 with server\n"
                         "Build 1300 is valid\n");
    EXPECT_NE(r.err.find("Could not find device in our update history.\n"), std::string::npos);
    EXPECT_EQ(testsupport::readBytes(module() / "1300.bird"),
              testsupport::readBytes(catalogue() / "40F5849A" / "1300.bird"));
    const std::string settings = testsupport::readBytes(module() / ".settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=1300.bird\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos) << settings;

    auto again = run({"-G", "-d", "40F5849A", "-b", "1234", "-X", "0x10000"});
    EXPECT_EQ(again.exitStatus, 0);
    EXPECT_NE(again.out.find("Retrieving firmware build 1234\nRetrieving build 1234\n"),
              std::string::npos);
    EXPECT_EQ(again.err.find("Could not find device"), std::string::npos);
    EXPECT_NE(testsupport::readBytes(module() / ".settings").find("LATEST_DOWNLOAD=1234.bird\n"),
              std::string::npos);
}

TEST_F(Retrieval, GetOfAnUnlistedBuild) {
    auto r = run({"-G", "-d", "40F5849A", "-b", "99999"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "No valid build 99999\n");
    EXPECT_NE(r.out.find("Validating build 99999 with server\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(module() / "99999.bird"));

    // Without validation the server's answer decides: it has no such build.
    auto forced = run({"-G", "-d", "40F5849A", "-b", "99999", "-OVERRIDE"});
    EXPECT_EQ(forced.exitStatus, 1);
    EXPECT_NE(forced.out.find("Override specified, skipping validation of build 99999\n"),
              std::string::npos);
    EXPECT_EQ(forced.err, "Download failed\nFailed to retrieve a valid BIRD file\n");
    EXPECT_FALSE(fs::exists(module() / "99999.bird"));
    EXPECT_EQ(testsupport::readBytes(module() / ".settings").find("LATEST_DOWNLOAD"),
              std::string::npos);
    EXPECT_NE(server->log().find("bld=99999&fw=CVN-HUB&no_cal=false&op=bird&sn=40F5849A -> 404"),
              std::string::npos);
}

TEST_F(Retrieval, GetRunsBeforeAFollowingUpdate) {
    auto r = run({"-G", "-U", "-d", "40F5849A"});
    EXPECT_EQ(r.exitStatus, 1); // the update command is not built yet
    EXPECT_NE(r.out.find("Build 1300 is valid\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "The update command (-U) is not available in this version yet\n");
    EXPECT_TRUE(fs::exists(module() / "1300.bird"));
}

TEST_F(Retrieval, ListLocalBuildsReadsVersionsFromTheFiles) {
    auto none = run({"-L", "-d", "40F5849A"});
    EXPECT_EQ(none.exitStatus, 0);
    EXPECT_EQ(none.out, std::string(kVersionLine) + "No builds found for device [40F5849A]\n");
    fs::create_directories(module());
    auto empty = run({"-L", "-d", "40F5849A"});
    EXPECT_EQ(empty.out, none.out);

    ASSERT_EQ(run({"-G", "-d", "40F5849A", "-b", "1234"}).exitStatus, 0);
    ASSERT_EQ(run({"-G", "-d", "40F5849A"}).exitStatus, 0);
    testsupport::writeText(module() / "77.bird", "damaged");
    testsupport::writeText(module() / "notes", "kept by hand"); // not a build: not listed
    auto r = run({"-L", "-d", "40F5849A", "-X", "1"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, std::string(kVersionLine) + "Build List for device [40F5849A]:\n\n"
                                                 "Build          \tVersion        \n"
                                                 "1300           \t2.11.10        \n"
                                                 "1234           \t2.11.4         \n"
                                                 "77             \t               \n");
    EXPECT_NE(r.err.find("Found VERSION in birdfile: " + (module() / "1300.bird").string()),
              std::string::npos);
    EXPECT_NE(r.err.find("Could NOT file VERSION in birdfile: " + (module() / "77.bird").string()),
              std::string::npos);
}

TEST_F(Retrieval, TokenAndAServerThatIsDown) {
    auto r = run({"-J", "-d", "40F5849A"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, std::string(kVersionLine) + "eyJhbGciOi.eyJzdWIi.c2ln\n");

    auto none = run({"-J", "-d", "12345678"});
    EXPECT_EQ(none.exitStatus, 0);
    EXPECT_EQ(none.err, "Failed to retrieve jwt for 12345678\n");
    EXPECT_EQ(none.out, std::string(kVersionLine) + "\n");

    const std::string down =
        "http://127.0.0.1:" + std::to_string(testsupport::closedLoopbackPort()) + "/cgi/u";
    auto j = run({"-J", "-d", "40F5849A"}, down);
    EXPECT_EQ(j.exitStatus, 0);
    EXPECT_EQ(j.err, "Server request failed for " + down + "\n");
    EXPECT_EQ(j.out, std::string(kVersionLine) + "\n");

    auto g = run({"-G", "-d", "40F5849A"}, down);
    EXPECT_EQ(g.exitStatus, 1);
    EXPECT_EQ(g.err, "Server request failed for " + down + "\n");
    EXPECT_FALSE(fs::exists(module()));
}

TEST_F(Retrieval, BadBase64StoresNothing) {
    for (const char* base64 : {"QUJDQU", "QUJ!"}) {
        testsupport::ScriptedHttpServer scripted({
            httpReply(200, "ok\n"),                // ping
            httpReply(200, "ok\n1234\nCVN-HUB\n"), // latest build
            httpReply(200, "ok\n1234;1.0.0\n"),    // build list for validation
            httpReply(200, std::string("ok\n") + base64 + "\n"),
        });
        auto r = run({"-G", "-d", "40F5849A"}, scripted.url());
        EXPECT_EQ(r.exitStatus, 1) << base64;
        EXPECT_EQ(r.err, "The server's BIRD file for build 1234 is not valid Base64\n");
        EXPECT_FALSE(fs::exists(module() / "1234.bird"));
        EXPECT_EQ(testsupport::readBytes(module() / ".settings").find("LATEST_DOWNLOAD"),
                  std::string::npos);
    }
}

} // namespace
