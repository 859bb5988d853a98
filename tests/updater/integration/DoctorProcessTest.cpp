// Updater --doctor as a user runs it: against a local update server and a store in a scratch
// folder, as a table and as JSON, and once the server has gone.
#include "Doctor.h"
#include "JsonSchemaCheck.h"
#include "ScriptedHttpServer.h"
#include "UpdateServerProcess.h"
#include "UpdaterProcessFixture.h"

#include <nlohmann/json.hpp>

#include <filesystem>

namespace {

class DoctorProcess : public testsupport::UpdaterProcessFixture {
  protected:
    testsupport::ProcessResult doctor(std::vector<std::string> args) {
        args.insert(args.begin(), {"-i", home.path() + "/base", "-u", url});
        testsupport::ProcessOptions options;
        options.environment["HOME"] = home.path();
        options.environment["CORVANE_USB_EMULATION"] = "40F5849A:13@127.0.0.1:1";
        return testsupport::runProcess(UPDATER_BIN, args, options);
    }
    std::string url;
};

TEST_F(DoctorProcess, ChecksTheStoreAndServerItIsGiven) {
    std::filesystem::create_directories(home.path() + "/catalogue");
    auto server = std::make_unique<testsupport::UpdateServerProcess>(
        UPDATE_SERVER_BIN, home.path() + "/catalogue", home.path() + "/server.log");
    url = server->url();

    const auto table = doctor({"--doctor"});
    EXPECT_EQ(table.out.rfind("Updater (Version: ", 0), 0u) << table.out;
    EXPECT_NE(table.out.find("    update server      PASS   " + url + " answers a ping"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("    store folder       PASS   " + home.path() +
                             "/base/updater is made at first use"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("    USB emulation      WARN   CORVANE_USB_EMULATION shows 1 "),
              std::string::npos);
    // Whatever this machine's udev folders and serial ports say, a failure and only a failure
    // fails the run.
    EXPECT_EQ(table.exitStatus, table.out.find(" FAIL ") != std::string::npos ? 1 : 0) << table.out;
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/base")) << "the check makes nothing";

    const auto json = doctor({"--doc", "--json"});
    EXPECT_EQ(json.err.rfind("Updater (Version: ", 0), 0u) << json.err;
    EXPECT_EQ(testsupport::schemaViolations(json.out), "");
    const nlohmann::json result = nlohmann::json::parse(json.out); // nothing else on the output
    EXPECT_EQ(result["exit_status"], json.exitStatus);
    std::map<std::string, std::string> status;
    for (const auto& check : result["doctor"]["checks"])
        status[check["check"]] = check["status"];
    EXPECT_EQ(status.size(), 7u);
    EXPECT_EQ(status["update-server"], "pass");
    EXPECT_EQ(status["store"], "pass");
    EXPECT_EQ(status["usb-emulation"], "warn");

    server.reset();
    const auto silent = doctor({"--doctor"});
    EXPECT_EQ(silent.exitStatus, 1);
    EXPECT_NE(silent.out.find("    update server      FAIL   " + url + " does not answer a ping"),
              std::string::npos)
        << silent.out;
    EXPECT_NE(silent.out.find("fix: name the server with -u URL (now -u " + url + ")"),
              std::string::npos);

    const auto mixed = doctor({"--doctor", "-D"});
    EXPECT_EQ(mixed.exitStatus, 1);
    EXPECT_NE(mixed.err.find("--doctor runs on its own"), std::string::npos) << mixed.err;
    EXPECT_EQ(mixed.out.find("Pre-flight check"), std::string::npos);
    const auto mixedJson = doctor({"--doctor", "-D", "--json"});
    EXPECT_EQ(testsupport::schemaViolations(mixedJson.out), "");
    EXPECT_EQ(nlohmann::json::parse(mixedJson.out)["error"]["message"],
              "--doctor runs on its own: give the other commands in a run of their own")
        << mixedJson.out;
}

// What the server check says about something at the URL that is no update server.
TEST(DoctorServerCheck, SaysWhatAnsweredInstead) {
    using testsupport::httpReply;
    struct Case {
        testsupport::ScriptedReply reply;
        bool answers;
        std::string why; // how the reason starts; empty: any reason will do
    };
    const std::vector<Case> cases{
        {httpReply(200, "ok\n"), true, ""},
        {httpReply(404, "no such page"), false, "it answers HTTP 404"},
        {httpReply(200, "\x1b[2J<html>"), false,
         "its answer is not an update server's (\"\\x1B[2J<html>\")"},
        // No HTTP at all: curl's own words, whichever its version uses.
        {testsupport::ScriptedReply{"garbage\r\n\r\n"}, false, ""},
    };
    for (const Case& c : cases) {
        testsupport::ScriptedHttpServer server({c.reply});
        const DoctorEnvironment env = systemDoctorEnvironment("", server.url());
        std::string said;
        EXPECT_EQ(env.pingServer(server.url(), said), c.answers) << said;
        EXPECT_EQ(said.empty(), c.answers) << said;
        EXPECT_EQ(said.rfind(c.why, 0), 0u) << said;
    }
}

} // namespace
