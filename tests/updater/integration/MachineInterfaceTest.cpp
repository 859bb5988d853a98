// The Updater for scripts and racks, as a process: --json documents held to the published schema
// by an outside validator, and several modules updated at once over USB emulation, one faulty.
#include "EmulatedModules.h"
#include "JsonSchemaCheck.h"
#include "NetworkNamespace.h"
#include "ProcessRunner.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "TaggedFirmware.h"
#include "UpdateServerProcess.h"

#include "corvane/aVersion.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>

namespace {

namespace fs = std::filesystem;
using Corvane::Tools::UpgradeFaults;
using Json = nlohmann::json;

constexpr uint32_t kNewBuild = 12345; // version 2.10.5
constexpr uint32_t kOldBuild = 11111; // version 2.10.3

// Virtual modules attached by USB emulation, the shipped update server with their builds, and
// the Updater run against both with HOME in a scratch directory.
class MachineInterface : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(std::string(UPDATER_BIN).empty() || std::string(UPDATE_SERVER_BIN).empty())
            << "the Updater or update-server is not built";
        image = dir / "image.bird";
        writeImage(image);
        writeImage(catalogue() / "40F5849A" / "12345.bird");
        writeImage(catalogue() / "2181F0EE" / "12345.bird");
        testsupport::writeText(catalogue() / "40F5849A" / "token", "eyJhbGciOi.eyJzdWIi.c2ln\n");
        server = std::make_unique<testsupport::UpdateServerProcess>(
            UPDATE_SERVER_BIN, catalogue().string(), (dir / "server.log").string());
    }

    void writeImage(const fs::path& path) {
        fs::create_directories(path.parent_path());
        std::string error;
        ASSERT_TRUE(testsupport::writeTaggedBird(path, kNewBuild, aVersion_Pack(2, 10, 5), "2.10.5",
                                                 "RouterBridge", true, "", error))
            << error;
    }

    // A module of model RouterBridge running build, with faults in its upgrade protocol.
    void attach(uint32_t serial, UpgradeFaults faults = {}, uint32_t build = kOldBuild,
                uint32_t version = aVersion_Pack(2, 10, 3)) {
        peers.attach(serial, std::move(faults), build, version);
    }

    testsupport::ProcessResult run(const std::vector<std::string>& words) {
        std::vector<std::string> args = words;
        for (std::string& arg : args) {
            if (arg == "IMAGE")
                arg = image.string();
            if (arg == "MISSING")
                arg = (dir / "missing").string();
            if (arg == "FOREIGN")
                arg = foreignImage().string();
        }
        args.insert(args.end(), {"-u", server->url()});
        testsupport::ProcessOptions options;
        options.environment["HOME"] = home().string();
        options.environment["CORVANE_USB_EMULATION"] = peers.emulation();
        options.deadline = std::chrono::seconds(120);
        return testsupport::runProcess(UPDATER_BIN, args, options);
    }

    // The run's document, which must be all of its standard output and hold to the schema.
    Json document(const testsupport::ProcessResult& r) {
        EXPECT_EQ(testsupport::schemaViolations(r.out), "") << r.out << "\n" << r.err;
        return Json::parse(r.out, nullptr, false);
    }

    // An image for another model, which the update must refuse.
    fs::path foreignImage() const {
        const fs::path path = dir / "foreign.bird";
        std::string error;
        EXPECT_TRUE(testsupport::writeTaggedBird(path, kNewBuild, aVersion_Pack(2, 10, 5), "2.10.5",
                                                 "PortHub4", true, "", error))
            << error;
        return path;
    }

    fs::path catalogue() const { return dir / "catalogue"; }
    fs::path home() const { return dir / "home"; }
    fs::path entry(const char* serial) const { return home() / ".quendra/updater" / serial; }

    ScopedTempDir tmp;
    fs::path dir{tmp.path()};
    fs::path image;
    testsupport::EmulatedModules peers;
    std::unique_ptr<testsupport::UpdateServerProcess> server;
};

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    int exitStatus;
    const char* section; // where the command reports; "error" for the run's own failure
    const char* kind;    // the failure kind expected, "" when the command succeeds
};

// An update or a discovery that finds its module or router missing on USB looks for it by
// TCP/IP discovery: each case runs in its own network namespace.
class JsonCommand : public testsupport::SetUpInNetworkNamespace<MachineInterface>,
                    public testing::WithParamInterface<CommandCase> {};

TEST_P(JsonCommand, WritesOneDocumentTheSchemaAcceptsAndKeepsItsExitStatus) {
    if (!testsupport::enterNetworkNamespace())
        return;
    const CommandCase& c = GetParam();
    attach(0x40F5849A);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const auto r = run(args);
    EXPECT_EQ(r.exitStatus, c.exitStatus) << r.err;
    const Json doc = document(r);
    ASSERT_TRUE(doc.is_object()) << r.out;
    EXPECT_EQ(doc["exit_status"], c.exitStatus);
    ASSERT_TRUE(doc.contains(c.section)) << r.out;
    Json section = doc[c.section];
    if (section.is_array())
        section = section.front();
    if (section.contains("modules") && std::string(c.section) == "update")
        section = section["modules"].front();
    if (*c.kind == '\0') {
        EXPECT_FALSE(section.contains("error")) << section;
    } else {
        const Json error = std::string(c.section) == "error" ? section : section["error"];
        EXPECT_EQ(error["kind"], c.kind) << r.out;
        // The message is the line the human mode shows, and it still reaches standard error.
        const std::string message = error["message"];
        EXPECT_NE(r.err.find(message), std::string::npos) << message << "\n" << r.err;
    }
    EXPECT_NE(r.err.find("Updater (Version: "), std::string::npos) << "human text on stderr";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, JsonCommand,
    testing::Values(
        CommandCase{"Discover", {"-D"}, 0, "discover", ""},
        CommandCase{"DiscoverBehindAbsentRouter", {"-D", "-r", "0BADF00D"}, 0, "discover", ""},
        CommandCase{"ListBuilds", {"-B", "-d", "40F5849A"}, 0, "list_builds", ""},
        CommandCase{
            "ListBuildsUnknown", {"-B", "-d", "12345678"}, 0, "list_builds", "server_refused"},
        CommandCase{"ListLocal", {"-L", "-d", "40F5849A"}, 0, "list_local", ""},
        CommandCase{"Token", {"-J", "-d", "40F5849A"}, 0, "token", ""},
        CommandCase{"Get", {"-G", "-d", "40F5849A"}, 0, "get", ""},
        CommandCase{
            "GetUnknownBuild", {"-G", "-d", "40F5849A", "-b", "99"}, 1, "get", "server_refused"},
        CommandCase{"DeviceInfo", {"-I", "-d", "40F5849A"}, 0, "device_info", ""},
        CommandCase{"CheckBird", {"-C", "-f", "IMAGE"}, 0, "check_bird", ""},
        CommandCase{"CheckBirdMissing", {"-C", "-f", "MISSING"}, 1, "check_bird", "not_found"},
        CommandCase{"Fingerprint", {"-N", "-s", "MISSING"}, 1, "fingerprint", "no_response"},
        CommandCase{"Update", {"-U", "-d", "40F5849A", "-f", "IMAGE"}, 0, "update", ""},
        CommandCase{"UpdateImageMissing",
                    {"-U", "-d", "40F5849A", "-f", "MISSING"},
                    1,
                    "update",
                    "not_found"},
        CommandCase{"UpdateModuleAbsent",
                    {"-U", "-d", "12345678", "-f", "IMAGE"},
                    1,
                    "update",
                    "not_found"},
        CommandCase{"UpdateForeignModel",
                    {"-U", "-d", "40F5849A", "-f", "FOREIGN"},
                    1,
                    "update",
                    "validation_failed"},
        CommandCase{"MissingSerial", {"-B"}, 1, "error", "usage"},
        CommandCase{
            "StoreCannotBeMade", {"-B", "-d", "40F5849A", "-i", "IMAGE"}, 1, "error", "store"},
        CommandCase{"RejectedOption", {"-d", "12XY"}, 1, "error", "usage"}),
    [](const auto& info) { return std::string(info.param.name); });

// The validator is a real judge: documents that break the schema in the ways a writer could are
// refused.
TEST_F(MachineInterface, TheValidatorRefusesDocumentsThatBreakTheSchema) {
    attach(0x40F5849A);
    const Json discovered = Json::parse(run({"-D", "--json"}).out, nullptr, false);
    const Json failed = Json::parse(run({"-B", "--json"}).out, nullptr, false);
    ASSERT_EQ(testsupport::schemaViolations(discovered.dump()), "");
    ASSERT_EQ(testsupport::schemaViolations(failed.dump()), "");
    const std::vector<std::pair<const Json*, std::function<void(Json&)>>> breaks = {
        {&discovered, [](Json& d) { d["discover"]["modules"][0]["serial"] = "40f5849a"; }},
        {&discovered,
         [](Json& d) { d["discover"]["modules"][0]["firmware"]["version"].erase("text"); }},
        {&discovered, [](Json& d) { d.erase("exit_status"); }},
        {&discovered, [](Json& d) { d["discover"]["unexpected"] = true; }},
        {&failed, [](Json& d) { d["error"]["kind"] = "broken"; }},
        {&failed, [](Json& d) { d["error"].erase("message"); }},
    };
    for (size_t i = 0; i < breaks.size(); ++i) {
        Json broken = *breaks[i].first;
        breaks[i].second(broken);
        EXPECT_NE(testsupport::schemaViolations(broken.dump()), "") << i << ": " << broken;
    }
    EXPECT_NE(testsupport::schemaViolations("{} {}"), "") << "two documents are not one";
}

// Three modules at once, the middle one dropping its link mid-transfer: the other two are
// updated and recorded, the faulty one fails alone and is named.
TEST_F(MachineInterface, ARackUpdateIsolatesTheModuleThatFails) {
    UpgradeFaults drop;
    drop.dropInData = 12 + 40 + 5; // the loader's 12 DATA packets, then into the firmware
    attach(0x40F5849A);
    attach(0x0BADF00D, drop);
    attach(0x2181F0EE);
    const auto r = run({"-U", "-d", "40F5849A", "-d", "0BADF00D", "-d", "2181F0EE", "-f", "IMAGE",
                        "--jobs", "3", "--json"});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    const Json doc = document(r);
    const Json& update = doc["update"];
    EXPECT_EQ(update["jobs"], 3);
    EXPECT_EQ(update["failed"], Json::array({"0BADF00D"}));
    ASSERT_EQ(update["modules"].size(), 3u) << r.out;
    for (const int i : {0, 2}) {
        const Json& module = update["modules"][i];
        EXPECT_EQ(module["outcome"], "updated") << module;
        EXPECT_EQ(module["running"]["build"], kNewBuild) << module;
        EXPECT_EQ(module["from"]["version"]["text"], "2.10.3") << module;
        EXPECT_EQ(module["transport"], "USB");
    }
    const Json& faulty = update["modules"][1];
    EXPECT_EQ(faulty["outcome"], "failed");
    EXPECT_EQ(faulty["error"]["kind"], "transfer_failed") << faulty;
    EXPECT_TRUE(faulty["error"]["code"].is_number()) << faulty;

    // Each store entry holds its own module's result, and only a result.
    for (const char* serial : {"40F5849A", "2181F0EE"})
        EXPECT_NE(testsupport::readBytes(entry(serial) / ".settings").find("LATEST_TRANSFER="),
                  std::string::npos)
            << serial;
    EXPECT_FALSE(fs::exists(entry("0BADF00D")));
    EXPECT_FALSE(peers[0].upgrade->firmware().empty());
    EXPECT_FALSE(peers[2].upgrade->firmware().empty());

    // Without a terminal: one line per module, the summary, then the failed one named with its
    // errors (on standard error here, as --json keeps standard output for the document).
    EXPECT_NE(r.err.find("40F5849A  updated "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("0BADF00D  failed   "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Update summary:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Update failed for 1 of 3 modules: 0BADF00D"), std::string::npos);
    EXPECT_NE(r.err.find("[0BADF00D] The link to the module was lost"), std::string::npos);
}

// --all with -G: each module found gets the server's latest build when it is newer than what it
// runs; a module that runs it already is left alone.
TEST_F(MachineInterface, AllUpdatesOnlyTheModulesWithANewerBuild) {
    attach(0x40F5849A);
    attach(0x2181F0EE, {}, kNewBuild, aVersion_Pack(2, 10, 5));
    const auto r = run({"-G", "-U", "--all", "--json"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const Json doc = document(r);
    const Json& modules = doc["update"]["modules"];
    ASSERT_EQ(modules.size(), 2u) << r.out;
    EXPECT_EQ(modules[0]["serial"], "40F5849A");
    EXPECT_EQ(modules[0]["outcome"], "updated") << modules[0];
    EXPECT_EQ(modules[0]["get"]["build"], kNewBuild);
    EXPECT_EQ(modules[1]["outcome"], "skipped") << modules[1];
    EXPECT_TRUE(peers[1].upgrade->firmware().empty()) << "a current module is not touched";
    EXPECT_FALSE(fs::exists(entry("2181F0EE") / "12345.bird"));
}

// --all with -f: the one image goes only to the modules it is newer for, never over a newer
// version, and every module's target is that image.
TEST_F(MachineInterface, AllWithAnImageNeverInstallsAnOlderOne) {
    attach(0x40F5849A);
    attach(0x2181F0EE, {}, 22222, aVersion_Pack(2, 11, 5));
    const auto r = run({"-U", "--all", "-f", "IMAGE", "--json"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const Json doc = document(r);
    const Json& modules = doc["update"]["modules"];
    ASSERT_EQ(modules.size(), 2u) << r.out;
    EXPECT_EQ(modules[0]["outcome"], "updated") << modules[0];
    EXPECT_EQ(modules[1]["outcome"], "skipped") << modules[1];
    EXPECT_EQ(modules[1]["reason"], "runs 2.11.5 (22222); the image's version 2.10.5 is not newer");
    for (const Json& module : modules)
        EXPECT_EQ(module["to"]["version"]["text"], "2.10.5") << module;
    EXPECT_TRUE(peers[1].upgrade->firmware().empty()) << "a newer module is not touched";
}

// A name longer than the updater takes is shown cut, visibly and between characters, and its
// module still takes part in --all. Without -G a module whose build only the server has is left
// alone, and the reason says which one lacks it.
TEST_F(MachineInterface, ALongNameIsCutAndAllSaysWhereTheBuildIsMissing) {
    attach(0x40F5849A, {}, kOldBuild, aVersion_Pack(2, 10, 4)); // the first with a name
    attach(0x0BADF00D);
    const std::string name = std::string(31, 'n') + "\xc3\xa9 and more";
    ASSERT_TRUE(peers[0].model->setBytes(3, 0, 32, name));
    const Json found = document(run({"-D", "--json"}));
    ASSERT_EQ(found["discover"]["modules"].size(), 2u) << found;
    EXPECT_EQ(found["discover"]["modules"][0]["name"], std::string(31, 'n') + "...");
    EXPECT_FALSE(found["discover"]["modules"][0].contains("error"));

    const auto r = run({"-U", "--all", "--json"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const Json updated = document(r);
    std::map<std::string, std::string> reasons;
    for (const Json& module : updated["update"]["modules"]) {
        EXPECT_EQ(module["outcome"], "skipped") << module;
        reasons[module["serial"]] = module.value("reason", "");
    }
    EXPECT_EQ(reasons["40F5849A"],
              "no build for it in the store; the server has build 12345 (-G fetches it)");
    EXPECT_EQ(reasons["0BADF00D"], "no build for it in the store or on the server");
}

// A failed sum and a failed firmware transfer are traced whether or not a debug mask asks for
// them, besides the error in words.
TEST_F(MachineInterface, TransferFailuresAreAlwaysTraced) {
    UpgradeFaults wrongSum;
    wrongSum.wrongSumOnce = true;
    UpgradeFaults refusedWrite;
    refusedWrite.refuseWrite = true;
    attach(0x40F5849A, wrongSum);
    attach(0x2181F0EE, refusedWrite);

    const auto sum = run({"-U", "-d", "40F5849A", "-f", "IMAGE"});
    EXPECT_EQ(sum.exitStatus, 1);
    std::smatch sums;
    ASSERT_TRUE(std::regex_search(
        sum.err, sums,
        std::regex("\nNETWORK: Unable to validate transfer \\[00\\] \\[([0-9A-F]{8}) != "
                   "([0-9A-F]{8})\\]\\.\n")))
        << sum.err;
    EXPECT_EQ(std::stoul(sums[2].str(), nullptr, 16), std::stoul(sums[1].str(), nullptr, 16) + 1);
    EXPECT_NE(sum.err.find("the module's checksum " + sums[2].str() +
                           " is not that of the bytes sent, " + sums[1].str()),
              std::string::npos)
        << sum.err;

    const auto write = run({"-U", "-d", "2181F0EE", "-f", "IMAGE"});
    EXPECT_EQ(write.exitStatus, 1);
    EXPECT_NE(write.err.find("NETWORK: Failed to transfer firmware\n"), std::string::npos)
        << write.err;
    EXPECT_NE(write.err.find("the module refused to write the chunk"), std::string::npos)
        << write.err;
}

// The rack options are refused where they mean nothing, before anything runs.
TEST_F(MachineInterface, RackOptionsAreRefusedWhereTheyMeanNothing) {
    const auto all = run({"-B", "-d", "40F5849A", "--all"});
    EXPECT_EQ(all.exitStatus, 1);
    EXPECT_NE(all.err.find("--all selects the modules of -U only"), std::string::npos) << all.err;
    const auto both = run({"-U", "--all", "-d", "40F5849A"});
    EXPECT_EQ(both.exitStatus, 1);
    EXPECT_NE(both.err.find("--all and -d cannot be combined"), std::string::npos) << both.err;
    const auto jobs = run({"-U", "-d", "40F5849A", "--jobs", "0"});
    EXPECT_EQ(jobs.exitStatus, 1);
    EXPECT_NE(jobs.err.find("Value out of range for \"--jobs\" parameter [0]"), std::string::npos);
}

} // namespace
