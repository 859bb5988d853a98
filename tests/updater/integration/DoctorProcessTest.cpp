// Updater --doctor as a user runs it: against a local update server and a store in a scratch
// folder, as a table and as JSON, and once the server has gone.
#include "Doctor.h"
#include "JsonSchemaCheck.h"
#include "ScriptedHttpServer.h"
#include "UpdateServerProcess.h"
#include "UpdaterProcessFixture.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

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

// --doctor names and judges the store as the commands find it: where it passes the store, a
// command makes the store at the same path; where it fails the store, so does the command.
TEST_F(DoctorProcess, JudgesTheStoreAsTheCommandsFindIt) {
    namespace fs = std::filesystem;
    const struct {
        const char* what;
        void (*arrange)(const std::string& base);
        const char* suffix; // after the base, as given with -i
        bool made;
    } cases[] = {
        {"a link to nothing",
         [](const std::string& b) { fs::create_directory_symlink(b + "x", b); }, "", false},
        {"a file", [](const std::string& b) { std::ofstream(b) << "x"; }, "", false},
        {"a link to a folder",
         [](const std::string& b) {
             fs::create_directory(b + "x");
             fs::create_directory_symlink(b + "x", b);
         },
         "", true},
        {"trailing slashes", [](const std::string&) {}, "//", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir scratch;
        const std::string base = scratch.path() + "/base";
        c.arrange(base);
        const std::string given = base + c.suffix;
        const auto doctor = testsupport::runProcess(
            UPDATER_BIN, {"--doctor", "--json", "-i", given, "-u", "http://127.0.0.1:1/cgi/u"});
        const nlohmann::json result = nlohmann::json::parse(doctor.out);
        std::string status, finding;
        for (const auto& check : result["doctor"]["checks"])
            if (check["check"] == "store") {
                status = check["status"];
                finding = check["finding"];
            }
        const auto command = testsupport::runProcess(UPDATER_BIN, {"-I", "-d", "1", "-i", given});
        EXPECT_EQ(command.exitStatus, c.made ? 0 : 1) << command.err;
        EXPECT_EQ(status != "fail", c.made) << finding;
        if (c.made) {
            const std::string store = *c.suffix ? given + "updater" : base + "/updater";
            EXPECT_NE(command.out.find("The store " + store + " has no entry"), std::string::npos)
                << command.out;
            EXPECT_EQ(finding.rfind(store + " ", 0), 0u) << finding;
        } else {
            EXPECT_NE(command.err.find("Could not find updater directory at "), std::string::npos);
            EXPECT_NE(finding.find(base + " is in the way of the store"), std::string::npos)
                << finding;
        }
    }
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
