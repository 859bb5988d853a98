// The Updater interrupted as users interrupt it, with real signals to the real process: a module
// whose loader has started finishes its transfer, nothing new starts, a second interrupt stops at
// once with the command that finishes the job, and a reader that goes away stops no update.
#include "EmulatedModules.h"
#include "JsonSchemaCheck.h"
#include "ProcessRunner.h"
#include "ScopedTempDir.h"
#include "SpawnedProgram.h"
#include "TaggedFirmware.h"

#include "corvane/aVersion.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <future>
#include <memory>

namespace {

namespace fs = std::filesystem;
using Corvane::Tools::UpgradeFaults;
using testsupport::EmulatedModules;
using namespace std::chrono_literals;

constexpr uint32_t kNewBuild = 12345;
constexpr const char* kFirst = "40F5849A";
constexpr const char* kSecond = "0BADF00D";

// Holds a module's firmware phase at its first data packet until the test lets it go on, so a
// signal sent meanwhile surely meets a transfer under way.
class TransferGate {
  public:
    UpgradeFaults faults() {
        UpgradeFaults faults;
        faults.beforeFirmwareData = [this] {
            reached_.set_value();
            release_.wait_for(30s); // bounded: a test that fails early still ends
        };
        return faults;
    }
    bool awaitReached() { return reachedFuture_.wait_for(60s) == std::future_status::ready; }
    // What the run said so far, for a failure's message.
    static std::string said(SpawnedProgram& program) {
        program.collectErrors();
        std::string lines;
        while (auto line = program.readLine(0ms))
            lines += *line + "\n";
        return lines + program.errors();
    }
    void release() {
        if (!released_)
            releasePromise_.set_value();
        released_ = true;
    }
    ~TransferGate() { release(); }

  private:
    std::promise<void> reached_;
    std::future<void> reachedFuture_ = reached_.get_future();
    std::promise<void> releasePromise_;
    std::shared_future<void> release_ = releasePromise_.get_future().share();
    bool released_ = false;
};

// Virtual modules on USB emulation and the Updater run against them as a process.
class Interruptions : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(std::string(UPDATER_BIN).empty()) << "the Updater is not built";
        std::string error;
        ASSERT_TRUE(testsupport::writeTaggedBird(image.string(), kNewBuild, aVersion_Pack(2, 10, 5),
                                                 "2.10.5", "RouterBridge", true, "", error))
            << error;
    }

    EmulatedModules::Module& attach(const char* serial, UpgradeFaults faults = {}) {
        return modules.attach(static_cast<uint32_t>(std::stoul(serial, nullptr, 16)),
                              std::move(faults));
    }

    std::map<std::string, std::optional<std::string>> environment() const {
        return {{"HOME", home.string()},
                {"CORVANE_USB_EMULATION", modules.emulation()},
                {"TERM", "xterm"}};
    }

    std::unique_ptr<SpawnedProgram> start(std::vector<std::string> args) {
        args.insert(args.begin(), UPDATER_BIN);
        return std::make_unique<SpawnedProgram>(args, false, environment());
    }

    // Runs a command line the Updater printed, with the Updater found on PATH as a user's is.
    testsupport::ProcessResult runPrinted(const std::string& commandLine) {
        testsupport::ProcessOptions options;
        for (const auto& [name, value] : environment())
            options.environment[name] = value;
        options.environment["PATH"] =
            fs::path(UPDATER_BIN).parent_path().string() + ":/usr/bin:/bin";
        options.deadline = 120s;
        return testsupport::runProcess("/bin/sh", {"-c", commandLine}, options);
    }

    ScopedTempDir tmp;
    fs::path dir{tmp.path()};
    fs::path home{dir / "home"};
    fs::path image{dir / "image.bird"};
    EmulatedModules modules;
};

std::string firstNotice(const char* serial) {
    return std::string("Interrupted: finishing the firmware transfer of ") + serial +
           " so it is not left in its loader; interrupt again to stop now";
}

struct SignalCase {
    const char* name;
    int signal;
    int status; // of a rack run that left a module not started
};

class EachInterrupt : public Interruptions, public testing::WithParamInterface<SignalCase> {};

// One module past its loader's start finishes its transfer and reboot; the run did all it was
// asked, so it ends with 0.
TEST_P(EachInterrupt, TheTransferInFlightFinishes) {
    TransferGate gate;
    EmulatedModules::Module& module = attach(kFirst, gate.faults());
    auto updater = start({"-U", "-d", kFirst, "-f", image.string()});
    ASSERT_TRUE(gate.awaitReached()) << TransferGate::said(*updater);
    updater->signal(GetParam().signal);
    EXPECT_TRUE(updater->awaitError(firstNotice(kFirst), 30s)) << updater->errors();
    gate.release();
    EXPECT_EQ(updater->wait(120s), 0) << updater->output() << updater->errors();
    EXPECT_NE(updater->output().find("now runs the new firmware: version 2.10.5, build 12345"),
              std::string::npos)
        << updater->output();
    EXPECT_EQ(module.upgrade->stats().reboots, 1u);
}

// In a rack the module in transfer finishes, the next one never starts, the summary and the one
// JSON document say so, and the exit status is the signal's.
TEST_P(EachInterrupt, ARackStartsNothingNew) {
    TransferGate gate;
    attach(kFirst, gate.faults());
    EmulatedModules::Module& second = attach(kSecond);
    auto updater =
        start({"-U", "-d", kFirst, "-d", kSecond, "-f", image.string(), "--jobs", "1", "--json"});
    ASSERT_TRUE(gate.awaitReached()) << TransferGate::said(*updater);
    updater->signal(GetParam().signal);
    EXPECT_TRUE(updater->awaitError(firstNotice(kFirst), 30s)) << updater->errors();
    gate.release();
    ASSERT_EQ(updater->wait(120s), GetParam().status) << updater->output() << updater->errors();

    EXPECT_EQ(testsupport::schemaViolations(updater->output()), "") << updater->output();
    const auto doc = nlohmann::json::parse(updater->output(), nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << updater->output();
    EXPECT_EQ(doc["exit_status"], GetParam().status);
    EXPECT_EQ(doc["interrupted"]["signal"], GetParam().name);
    const auto& modules = doc["update"]["modules"];
    ASSERT_EQ(modules.size(), 2u) << doc.dump();
    EXPECT_EQ(modules[0]["outcome"], "updated") << doc.dump();
    EXPECT_EQ(modules[1]["outcome"], "not_started") << doc.dump();
    EXPECT_EQ(second.upgrade->stats().loads, 0u);
    // The human summary moved to standard error with --json.
    EXPECT_NE(updater->errors().find("not started"), std::string::npos) << updater->errors();
}

INSTANTIATE_TEST_SUITE_P(Signals, EachInterrupt,
                         testing::Values(SignalCase{"SIGINT", SIGINT, 130},
                                         SignalCase{"SIGTERM", SIGTERM, 143},
                                         SignalCase{"SIGHUP", SIGHUP, 129}),
                         [](const auto& info) { return std::string(info.param.name); });

// The second interrupt ends the run at once, naming the module it leaves in its loader and the
// command that finishes the job; that command then does.
TEST_F(Interruptions, ASecondInterruptStopsAtOnceWithTheCommandThatFinishes) {
    TransferGate gate;
    EmulatedModules::Module& module = attach(kFirst, gate.faults());
    auto updater = start({"-U", "-d", kFirst, "-f", image.string()});
    ASSERT_TRUE(gate.awaitReached()) << TransferGate::said(*updater);
    updater->signal(SIGINT);
    ASSERT_TRUE(updater->awaitError(firstNotice(kFirst), 30s)) << updater->errors();
    updater->signal(SIGINT);
    // It ends while the module still holds its transfer.
    EXPECT_EQ(updater->wait(30s), 130) << updater->errors();
    gate.release();
    const std::string& said = updater->errors();
    EXPECT_NE(said.find("Interrupted again: stopping now"), std::string::npos) << said;
    EXPECT_NE(said.find("Module [40F5849A] is left in its loader"), std::string::npos) << said;
    const std::string finish = "Updater -U -d 40F5849A -f " + image.string();
    ASSERT_NE(said.find("\n  " + finish + "\n"), std::string::npos) << said;

    const testsupport::ProcessResult again = runPrinted(finish);
    EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("now runs the new firmware"), std::string::npos) << again.out;
    EXPECT_EQ(module.upgrade->stats().reboots, 1u);
}

// A reader that goes away (| head) ends what reaches standard output, never the update: the run
// goes on, standard error keeps its lines, and the exit status is the work's.
TEST_F(Interruptions, AClosedStandardOutputStopsNoUpdate) {
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "lines");
        modules.clear();
        EmulatedModules::Module& module = attach(kFirst);
        std::vector<std::string> args = {"-U", "-d", kFirst, "-f", image.string()};
        if (json)
            args.push_back("--json");
        auto updater = start(args);
        if (!json) {
            ASSERT_TRUE(updater->readLine(30s)) << updater->errors(); // the version line
        }
        updater->closeOutput();
        EXPECT_EQ(updater->wait(120s), 0) << updater->errors();
        EXPECT_EQ(module.upgrade->stats().reboots, 1u);
        EXPECT_EQ(updater->errors().find("Broken pipe"), std::string::npos) << updater->errors();
    }
}

} // namespace
