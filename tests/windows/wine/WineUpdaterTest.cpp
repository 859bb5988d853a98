// Updater.exe of the Windows build, run under wine, against the peers the Linux build has:
// virtual modules attached by USB emulation and the update-server program on 127.0.0.1 (wine
// shares the host's loopback). Each command's output must be the Linux Updater's, word for word,
// with the line ends a Windows console program writes.
#include "EmulatedModules.h"
#include "JsonSchemaCheck.h"
#include "ProcessRunner.h"
#include "ScopedTempDir.h"
#include "SpawnedProgram.h"
#include "TaggedFirmware.h"
#include "UpdateServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Corvane::Tools::UpgradeFaults;

constexpr uint32_t kNewBuild = 12345; // version 2.10.5
constexpr const char* kSerial = "40F5849A";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Text with Windows line ends as Linux writes it; false when a line end is not CR LF.
bool linuxLineEnds(std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
        out += text[i];
    }
    text = out;
    return true;
}

struct WindowsRun {
    testsupport::ProcessResult result;
    bool windowsLineEnds = true;
};

// The Windows Updater (through wine) and the Linux one, run alike: the same store folder, the
// same emulated modules and update server, a scratch home.
class WineUpdater : public testing::Test {
  protected:
    void SetUp() override {
        wine = environment("CORVANE_WINE");
        updaterExe = environment("CORVANE_UPDATER_EXE");
        ASSERT_FALSE(wine.empty() || updaterExe.empty() || environment("WINEPREFIX").empty())
            << "CORVANE_WINE, CORVANE_UPDATER_EXE and WINEPREFIX name wine, Updater.exe and the "
               "wine prefix (scripts/test-windows.sh sets them)";
        image = dir / "image.bird";
        writeImage(image, "RouterBridge");
        writeImage(dir / "catalogue" / kSerial / "12345.bird", "RouterBridge");
    }

    void writeImage(const fs::path& path, const char* model) {
        fs::create_directories(path.parent_path());
        std::string error;
        ASSERT_TRUE(testsupport::writeTaggedBird(path, kNewBuild, aVersion_Pack(2, 10, 5), "2.10.5",
                                                 model, true, "", error))
            << error;
    }

    void startServer() {
        server = std::make_unique<testsupport::UpdateServerProcess>(
            UPDATE_SERVER_BIN, (dir / "catalogue").string(), (dir / "server.log").string());
    }

    testsupport::ProcessOptions options() {
        testsupport::ProcessOptions o;
        o.environment["HOME"] = (dir / "home").string();
        o.environment["WINEDEBUG"] = "-all";
        o.environment["CORVANE_USB_EMULATION"] = peers.emulation();
        o.deadline = std::chrono::seconds(180);
        return o;
    }

    // Updater.exe with args; IMAGE and STORE stand for the image and the store folder, which
    // the Windows program sees on drive Z:.
    WindowsRun windows(std::vector<std::string> args) {
        for (std::string& arg : args) {
            if (arg == "IMAGE")
                arg = "Z:" + image.string();
            else if (arg == "STORE")
                arg = "Z:" + (dir / "store").string();
        }
        args.insert(args.begin(), updaterExe);
        WindowsRun run{testsupport::runProcess(wine, args, options())};
        run.windowsLineEnds = linuxLineEnds(run.result.out) && linuxLineEnds(run.result.err);
        // The paths the Windows program was given are Linux's again.
        for (std::string* text : {&run.result.out, &run.result.err}) {
            for (size_t at; (at = text->find("Z:/")) != std::string::npos;)
                text->erase(at, 2);
        }
        return run;
    }

    testsupport::ProcessResult linux(std::vector<std::string> args) {
        for (std::string& arg : args) {
            if (arg == "IMAGE")
                arg = image.string();
            else if (arg == "STORE")
                arg = (dir / "store").string();
        }
        return testsupport::runProcess(UPDATER_BIN, args, options());
    }

    // Both programs, one after the other, for commands that change nothing.
    void expectLinuxOutput(const std::vector<std::string>& args, int exitStatus) {
        const WindowsRun win = windows(args);
        const testsupport::ProcessResult lin = linux(args);
        EXPECT_TRUE(win.windowsLineEnds) << win.result.out << win.result.err;
        EXPECT_EQ(win.result.exitStatus, exitStatus) << win.result.err;
        EXPECT_EQ(lin.exitStatus, exitStatus) << lin.err;
        EXPECT_EQ(win.result.out, lin.out);
        EXPECT_EQ(win.result.err, lin.err);
    }

    // Updater.exe left running, for a test that interrupts it.
    std::unique_ptr<SpawnedProgram> start(std::vector<std::string> args) {
        for (std::string& arg : args)
            if (arg == "IMAGE")
                arg = "Z:" + image.string();
        args.insert(args.begin(), {wine, updaterExe});
        return std::make_unique<SpawnedProgram>(args, false, options().environment);
    }

    std::string wine, updaterExe;
    ScopedTempDir tmp;
    fs::path dir{tmp.path()};
    fs::path image;
    testsupport::EmulatedModules peers;
    std::unique_ptr<testsupport::UpdateServerProcess> server;
};

TEST_F(WineUpdater, HelpAndUsageAreTheLinuxTexts) {
    expectLinuxOutput({"--help"}, 0);
    expectLinuxOutput({}, 0);
    expectLinuxOutput({"-d", "12XY"}, 1);
}

TEST_F(WineUpdater, DiscoveryListsTheModulesOnEmulatedUsb) {
    peers.attach(0x40F5849A);
    peers.attach(0x2181F0EE);
    expectLinuxOutput({"-D"}, 0);
    const WindowsRun run = windows({"-D"});
    EXPECT_NE(run.result.out.find("40F5849A"), std::string::npos) << run.result.out;
    EXPECT_NE(run.result.out.find("2181F0EE"), std::string::npos) << run.result.out;
}

TEST_F(WineUpdater, UpdateOverEmulatedUsbInstallsTheImage) {
    auto& module = peers.attach(0x40F5849A);
    const WindowsRun run = windows({"-U", "-d", kSerial, "-f", "IMAGE", "-i", "STORE"});
    EXPECT_TRUE(run.windowsLineEnds);
    EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
    EXPECT_NE(run.result.out.find("now runs the new firmware: version 2.10.5, build 12345"),
              std::string::npos)
        << run.result.out;
    EXPECT_FALSE(module.upgrade->firmware().empty());
}

TEST_F(WineUpdater, AFailedTransferEndsWithTheRecoveryAdvice) {
    UpgradeFaults drop;
    drop.dropInData = 12 + 40 + 5; // the loader's 12 DATA packets, then into the firmware
    peers.attach(0x40F5849A, drop);
    const WindowsRun run = windows({"-U", "-d", kSerial, "-f", "IMAGE", "-i", "STORE"});
    EXPECT_TRUE(run.windowsLineEnds);
    EXPECT_EQ(run.result.exitStatus, 1) << run.result.out;
    EXPECT_NE(run.result.err.find("Updater -U -t RECOVER"), std::string::npos) << run.result.err;
}

TEST_F(WineUpdater, ListAndGetReachTheUpdateServer) {
    startServer();
    expectLinuxOutput({"-B", "-d", kSerial, "-u", server->url()}, 0);
    const WindowsRun get = windows({"-G", "-d", kSerial, "-u", server->url(), "-i", "STORE"});
    EXPECT_EQ(get.result.exitStatus, 0) << get.result.err;
    EXPECT_TRUE(fs::is_regular_file(dir / "store" / "updater" / kSerial / "12345.bird"))
        << get.result.out << get.result.err;
}

TEST_F(WineUpdater, CheckShowsWhatTheBirdFileHolds) {
    expectLinuxOutput({"-C", "-f", "IMAGE"}, 0);
}

TEST_F(WineUpdater, JsonDocumentsHoldToTheSchema) {
    peers.attach(0x40F5849A);
    const WindowsRun run = windows({"-D", "--json"});
    EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
    EXPECT_EQ(testsupport::schemaViolations(run.result.out), "") << run.result.out;
    EXPECT_NE(run.result.out.find("40F5849A"), std::string::npos);
}

TEST_F(WineUpdater, DoctorChecksWhatAppliesOnWindowsAndNeverUdev) {
    const WindowsRun run = windows({"--doctor", "--json", "-i", "STORE"});
    EXPECT_TRUE(run.result.exitStatus == 0 || run.result.exitStatus == 1) << run.result.err;
    EXPECT_EQ(testsupport::schemaViolations(run.result.out), "") << run.result.out;
    const auto doc = nlohmann::json::parse(run.result.out, nullptr, false);
    ASSERT_TRUE(doc.contains("doctor")) << run.result.out;
    std::vector<std::string> checks;
    for (const auto& row : doc["doctor"]["checks"])
        checks.push_back(row["check"]);
    EXPECT_EQ(checks, (std::vector<std::string>{"usb-access", "serial-access", "store",
                                                "update-server", "usb-emulation"}));
    // Nothing of Linux's remedies: udev rules, lsusb, sudo.
    for (const char* word : {"udev", "lsusb", "sudo"})
        EXPECT_EQ((run.result.out + run.result.err).find(word), std::string::npos) << word;
}

TEST_F(WineUpdater, TheDefaultStoreIsInTheUserProfile) {
    const WindowsRun run = windows({"-I", "-d", kSerial});
    EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
    EXPECT_NE(run.result.out.find(".quendra"), std::string::npos) << run.result.out;
    EXPECT_EQ(run.result.out.find(dir.string()), std::string::npos) << "HOME has no say on Windows";
}

// Holds a module's firmware phase at its first data packet until the test lets it go on, so an
// interrupt sent meanwhile surely meets a transfer under way.
class TransferGate {
  public:
    UpgradeFaults faults() {
        UpgradeFaults faults;
        faults.beforeFirmwareData = [this] {
            reached_.set_value();
            release_.wait_for(std::chrono::seconds(30)); // bounded: a failed test still ends
        };
        return faults;
    }
    bool awaitReached() {
        return reachedFuture_.wait_for(std::chrono::seconds(120)) == std::future_status::ready;
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

// Wine hands the Windows program a Ctrl-C for SIGINT: the console control handler must take it
// as the Linux build takes SIGINT, and a second one ends the run with STATUS_CONTROL_C_EXIT
// (of which a Linux parent sees the low byte), naming the command that finishes the job.
TEST_F(WineUpdater, CtrlCFinishesTheTransferAndASecondStopsWithTheAdvice) {
    const std::string notice = std::string("Interrupted: finishing the firmware transfer of ") +
                               kSerial +
                               " so it is not left in its loader; interrupt again to "
                               "stop now";
    {
        TransferGate gate;
        peers.attach(0x40F5849A, gate.faults());
        auto updater = start({"-U", "-d", kSerial, "-f", "IMAGE"});
        ASSERT_TRUE(gate.awaitReached()) << updater->errors();
        updater->signal(SIGINT);
        EXPECT_TRUE(updater->awaitError(notice, std::chrono::seconds(60))) << updater->errors();
        gate.release();
        EXPECT_EQ(updater->wait(std::chrono::seconds(180)), 0) << updater->errors();
    }
    peers.clear();
    TransferGate gate;
    peers.attach(0x40F5849A, gate.faults());
    auto updater = start({"-U", "-d", kSerial, "-f", "IMAGE"});
    ASSERT_TRUE(gate.awaitReached()) << updater->errors();
    updater->signal(SIGINT);
    ASSERT_TRUE(updater->awaitError(notice, std::chrono::seconds(60))) << updater->errors();
    updater->signal(SIGINT);
    EXPECT_TRUE(updater->awaitError("Interrupted again: stopping now", std::chrono::seconds(60)))
        << updater->errors();
    EXPECT_EQ(updater->wait(std::chrono::seconds(60)), 0xC000013A & 0xFF) << updater->errors();
    EXPECT_NE(updater->errors().find("Module [40F5849A] is left in its loader"), std::string::npos)
        << updater->errors();
    EXPECT_NE(updater->errors().find("  Updater -U -d 40F5849A -f Z:" + image.string()),
              std::string::npos)
        << updater->errors();
}

} // namespace
