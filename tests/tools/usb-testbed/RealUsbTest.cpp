// The Updater and the link library on the real USB stack: libusb and hidapi, unchanged, against
// the kernel devices usb-testbed emulates, with no USB emulation in the environment. A missing
// testbed or preload library fails these tests; they never skip.
#include "BirdWriter.h"
#include "NetworkNamespace.h"
#include "ProcessRunner.h"
#include "RequestReplyModel.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "SpawnedProgram.h"
#include "TaggedFirmware.h"
#include "UpdateServerProcess.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include "corvane/aVersion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace Corvane::Tools;
using namespace std::chrono_literals;
using testsupport::ProcessResult;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr const char* kSerialText = "40F5849A";
constexpr uint8_t kModel = 19; // RouterBridge
constexpr uint32_t kNewBuild = 12345;
constexpr const char* kBusyText = "Is someone else connected to this device?";

class RealUsb : public testing::Test {
  protected:
    void SetUp() override {
        unsetenv("CORVANE_USB_EMULATION");
        unsetenv("CORVANE_USB_VENDOR_ID"); // the built-in family id throughout
        ASSERT_FALSE(std::string(USB_TESTBED_BIN).empty())
            << "usb-testbed is not built: its tests need umockdev's development files "
               "(libumockdev-dev, installed by scripts/install-deps.sh); configure again";
        ASSERT_FALSE(std::string(UPDATER_BIN).empty()) << "the Updater is not built";
    }

    void TearDown() override {
        if (testbed_) {
            testbed_->signal(SIGTERM);
            EXPECT_EQ(testbed_->wait(10s), 0) << testbed_->errors();
        }
    }

    void startModule(UpgradeFaults faults = {}, uint32_t version = aVersion_Pack(2, 10, 3)) {
        VirtualModuleConfig config;
        config.heartbeatMs = 0;
        config.identity.serialNumber = kSerial;
        config.identity.model = kModel;
        module = std::make_unique<VirtualModule>(config);
        model = std::make_unique<RequestReplyModel>(config.identity);
        model->install(*module);
        model->setFirmware(0, version);
        upgrade = std::make_unique<UpgradeModel>(*model, 1024, faults);
        upgrade->install(*module);
        ASSERT_TRUE(module->start());
    }

    std::string moduleEntry() const {
        return std::string(kSerialText) + ":13@127.0.0.1:" + std::to_string(module->port());
    }

    // Starts the testbed and waits until it serves; its reason is the failure when it cannot.
    void startTestbed(std::vector<std::string> options) {
        options.insert(options.begin(), USB_TESTBED_BIN);
        testbed_ = std::make_unique<SpawnedProgram>(options, true);
        for (;;) {
            const auto line = testbed_->readLine(20s);
            if (!line) {
                testbed_->wait(5s);
                FAIL() << "usb-testbed did not come up:\n"
                       << testbed_->output() << testbed_->errors();
            }
            const std::string exportLine = "export ";
            if (line->rfind(exportLine, 0) == 0) {
                const size_t equals = line->find('=');
                environment[line->substr(7, equals - 7)] = line->substr(equals + 1);
            } else if (*line == "usb-testbed: ready") {
                break;
            } else {
                events.push_back(*line);
            }
        }
        ASSERT_EQ(environment.count("LD_PRELOAD"), 1u);
        ASSERT_EQ(environment.count("UMOCKDEV_DIR"), 1u);
    }

    // The next line of the testbed that begins with prefix (lines before it are kept).
    std::string awaitEvent(const std::string& prefix) {
        for (auto it = events.begin(); it != events.end(); ++it)
            if (it->rfind(prefix, 0) == 0) {
                const std::string line = *it;
                events.erase(events.begin(), it + 1);
                return line;
            }
        while (const auto line = testbed_->readLine(30s)) {
            if (line->rfind(prefix, 0) == 0)
                return *line;
            events.push_back(*line);
        }
        ADD_FAILURE() << "usb-testbed never said " << prefix;
        return {};
    }

    // Sends a command and waits for its answer; the lines before the answer stay in events.
    void command(const std::string& line) {
        ASSERT_TRUE(testbed_->writeInput(line + "\n"));
        while (const auto answer = testbed_->readLine(30s)) {
            if (*answer == "usb-testbed: ok")
                return;
            events.push_back(*answer);
        }
        ADD_FAILURE() << "no answer to " << line;
    }

    testsupport::ProcessOptions clientOptions() {
        testsupport::ProcessOptions options;
        for (const auto& [name, value] : environment)
            options.environment[name] = value;
        options.environment["HOME"] = home.path();
        options.environment["CORVANE_USB_EMULATION"] = std::nullopt;
        options.deadline = 120s;
        return options;
    }

    ProcessResult updater(const std::vector<std::string>& args) {
        return testsupport::runProcess(UPDATER_BIN, args, clientOptions());
    }

    std::string bird(uint32_t build = kNewBuild) {
        const std::string path = home.path() + "/image" + std::to_string(build) + ".bird";
        std::string error;
        EXPECT_TRUE(testsupport::writeTaggedBird(path, build, aVersion_Pack(2, 10, 5), "2.10.5",
                                                 "RouterBridge", true, "", error))
            << error;
        return path;
    }

    ScopedTempDir home;
    std::unique_ptr<VirtualModule> module;
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<UpgradeModel> upgrade;
    std::map<std::string, std::string> environment;
    std::vector<std::string> events;

  private:
    std::unique_ptr<SpawnedProgram> testbed_;
};

TEST_F(RealUsb, DiscoverFetchUpdateAndDiscoverAgain) {
    startModule();
    startTestbed({"--module", moduleEntry()});
    ASSERT_NE(awaitEvent("usb-testbed: plugged"), "");

    auto before = updater({"-D"});
    EXPECT_EQ(before.exitStatus, 0) << before.err;
    EXPECT_NE(before.out.find("40F5849A  02       00      RouterBridge   2.10.3"),
              std::string::npos)
        << before.out;

    const std::filesystem::path catalogue = home.path() + "/catalogue";
    std::filesystem::create_directories(catalogue / kSerialText);
    std::filesystem::copy_file(bird(), catalogue / kSerialText / "12345.bird");
    std::ofstream(catalogue / kSerialText / "firmware") << "CVN-TEST\n";
    testsupport::UpdateServerProcess server(UPDATE_SERVER_BIN, catalogue.string(),
                                            home.path() + "/server.log");

    auto update = updater({"-G", "-U", "-d", kSerialText, "-u", server.url()});
    EXPECT_EQ(update.exitStatus, 0) << update.out << update.err;
    EXPECT_NE(update.out.find("Module [40F5849A] now runs the new firmware: version 2.10.5, build "
                              "12345"),
              std::string::npos)
        << update.out;
    // The loader start and the reboot each left the bus and came back under a new address.
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(awaitEvent("usb-testbed: unplugged 40F5849A"), "");
        EXPECT_NE(awaitEvent("usb-testbed: plugged 40F5849A"), "");
    }

    auto after = updater({"-D"});
    EXPECT_NE(after.out.find("2.10.5 (     12345)"), std::string::npos) << after.out;
}

// What the Updater makes of a module it cannot have, and of one that leaves during a transfer.
struct UsbCase {
    const char* name;
    std::vector<std::string> testbed; // options after --module; SERIAL is the module's
    UpgradeFaults faults;
    std::vector<std::string> args; // IMAGE is a fitting image's path
    int exitStatus;
    std::string shown; // in the standard output or error
    int unplugs;       // times the module left the bus during the run
};

class RealUsbCase : public RealUsb, public testing::WithParamInterface<UsbCase> {};

// A module USB refuses for want of permission is looked for by TCP/IP discovery next, so each
// case runs in its own network namespace.
TEST_P(RealUsbCase, UpdaterSaysWhatHappened) {
    if (!testsupport::enterNetworkNamespace())
        return;
    const UsbCase& c = GetParam();
    startModule(c.faults);
    std::vector<std::string> options{"--module", moduleEntry()};
    for (const std::string& o : c.testbed)
        options.push_back(o == "SERIAL" ? kSerialText : o);
    startTestbed(options);
    std::vector<std::string> args;
    for (const std::string& a : c.args)
        args.push_back(a == "IMAGE" ? bird() : a);
    const ProcessResult result = updater(args);
    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(c.shown), std::string::npos)
        << result.out << result.err;
    // Each unplug was followed by a plug before the Updater could finish; "ok" ends the count.
    command("latency-us 0");
    EXPECT_EQ(std::count_if(
                  events.begin(), events.end(),
                  [](const std::string& e) { return e.rfind("usb-testbed: unplugged", 0) == 0; }),
              c.unplugs);
}

// The module leaves the bus in the middle of the loader's data.
UpgradeFaults dropInData() {
    UpgradeFaults faults;
    faults.dropInData = 5;
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealUsbCase,
    testing::Values(
        UsbCase{"HeldByAnotherProcess", {"--busy", "SERIAL"}, {}, {"-D"}, 0, kBusyText, 0},
        UsbCase{"HeldByAnotherProcessUpdate",
                {"--busy", "SERIAL"},
                {},
                {"-U", "-d", kSerialText, "-f", "IMAGE"},
                1,
                "Failed to connect to module [40F5849A]",
                0},
        UsbCase{"NoPermission",
                {"--unreadable", "SERIAL"},
                {},
                {"-U", "-d", kSerialText, "-f", "IMAGE"},
                1,
                "Access to the module's USB device was denied",
                0},
        // Listed, but not openable: discovery cannot read who it is, and says why.
        UsbCase{"NoPermissionDiscover",
                {"--unreadable", "SERIAL"},
                {},
                {"-D"},
                0,
                "Access to the module's USB device was denied",
                0},
        UsbCase{"NoPermissionDoctor",
                {"--unreadable", "SERIAL"},
                {},
                {"--doctor"},
                1,
                "USB access         FAIL   1 of 1 Corvane module(s) on USB cannot be opened",
                0},
        UsbCase{"UnpluggedMidTransfer",
                {},
                dropInData(),
                {"-U", "-d", kSerialText, "-f", "IMAGE"},
                1,
                "The link to the module was lost in loader block 1 of 1; the loader is not started",
                1},
        UsbCase{"SlowBus",
                {"--latency-us", "300"},
                {},
                {"-U", "-d", kSerialText, "-f", "IMAGE"},
                0,
                "now runs the new firmware",
                2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RealUsb, UnplugAndReplugWhileClientsRun) {
    startModule();
    startTestbed({"--module", moduleEntry()});
    command("remove 40F5849A");
    EXPECT_NE(awaitEvent("usb-testbed: unplugged 40F5849A (removed)"), "");
    EXPECT_NE(updater({"-D"}).out.find("No devices found."), std::string::npos);
    command("add 40F5849A");
    EXPECT_NE(awaitEvent("usb-testbed: plugged 40F5849A"), "");
    EXPECT_NE(updater({"-D"}).out.find("RouterBridge"), std::string::npos);

    // A second program gets the busy row while the first holds the module, and the module
    // again once it is let go.
    command("hold 40F5849A");
    EXPECT_NE(updater({"-D"}).out.find(kBusyText), std::string::npos);
    command("release 40F5849A");
    EXPECT_EQ(updater({"-D"}).out.find(kBusyText), std::string::npos);
}

// Two library clients share one USB link through the sharing server: the first opens the module
// on the bus and serves it, the second (whose own claim would fail) reaches it through that
// server. Beacons go out, so this runs in a private network namespace.
TEST_F(RealUsb, TwoProgramsShareOneUsbLink) {
    if (!testsupport::enterNetworkNamespace())
        return;
    ASSERT_FALSE(std::string(USB_CLIENT_BIN).empty()) << "usb_client is not built";
    startModule();
    startTestbed({"--module", moduleEntry()});
    std::vector<std::string> first{USB_CLIENT_BIN, kSerialText};
    std::vector<std::unique_ptr<SpawnedProgram>> clients;
    std::vector<std::string> lines;
    for (int i = 0; i < 2; ++i) {
        // SpawnedProgram takes the test's environment: give the clients the testbed's.
        for (const auto& [name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        clients.push_back(std::make_unique<SpawnedProgram>(first, true));
        for (const auto& [name, value] : environment)
            unsetenv(name.c_str());
        const auto line = clients.back()->readLine(60s);
        ASSERT_TRUE(line) << clients.back()->errors();
        lines.push_back(*line);
    }
    EXPECT_EQ(lines[0].rfind("connected over type 1, build", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("connected over type 4, build", 0), 0u) << lines[1];
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
        (*it)->closeInput();
        EXPECT_EQ((*it)->wait(30s), 0) << (*it)->output() << (*it)->errors();
    }
}

// What usbfs answers libusb itself: a transfer that times out is discarded and reaped as one, a
// second claim is busy, and an unplug ends a transfer at once and fails what follows.
TEST_F(RealUsb, LibusbSeesUsbfsAsTheKernelShowsIt) {
    ASSERT_FALSE(std::string(USB_RAW_CLIENT_BIN).empty()) << "usb_raw_client is not built";
    startModule();
    startTestbed({"--module", moduleEntry()});
    for (const auto& [name, value] : environment)
        setenv(name.c_str(), value.c_str(), 1);
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04X", CORVANE_TEST_USB_VENDOR_ID);
    SpawnedProgram client({USB_RAW_CLIENT_BIN, vendor, kSerialText}, true);
    for (const auto& [name, value] : environment)
        unsetenv(name.c_str());
    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i)
        lines.push_back(client.readLine(30s).value_or("nothing"));
    EXPECT_EQ(lines, (std::vector<std::string>{"claim 0", "second claim -6", "idle in -7"}))
        << client.errors();
    command("remove 40F5849A");
    ASSERT_TRUE(client.writeInput("go\n"));
    EXPECT_EQ(client.readLine(60s).value_or("nothing"), "in after unplug -4");
    EXPECT_EQ(client.readLine(30s).value_or("nothing"), "claim after unplug -4");
    EXPECT_EQ(client.wait(30s), 0) << client.errors();
}

// A command line the testbed cannot follow is refused before anything is emulated.
TEST(UsbTestbedOptions, RefusesWhatItCannotEmulate) {
    ASSERT_FALSE(std::string(USB_TESTBED_BIN).empty()) << "usb-testbed is not built";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "nothing to emulate"},
        {{"--module", "40F5849A:13@127.0.0.1"}, "bad --module"},
        {{"--module", "40F5849A:0@127.0.0.1:9"}, "the model must be"},
        {{"--module", "1:13@127.0.0.1:9", "--module", "1:14@127.0.0.1:8"}, "given twice"},
        {{"--module", "1:13@127.0.0.1:9", "--busy", "2"}, "no --module has"},
        {{"--imx-rom", "/dev/null", "--rom-baud", "12345"}, "--rom-baud must be"},
        {{"--module", "1:13@127.0.0.1:9", "--"}, "must be followed by a command"},
    };
    for (const auto& [args, why] : cases) {
        const ProcessResult result = testsupport::runProcess(USB_TESTBED_BIN, args);
        EXPECT_EQ(result.exitStatus, 2) << why;
        EXPECT_NE(result.err.find(why), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("Try 'usb-testbed --help'."), std::string::npos);
    }
}

// The i.MX boot ROM as a USB HID device served by bootrom-sim, through hidapi's hidraw backend:
// the fingerprint, then the recovery, whose liveloader comes up as a module on the same bus.
TEST_F(RealUsb, ImxFingerprintAndRecoveryThroughHid) {
    ASSERT_FALSE(std::string(BOOTROM_SIM_BIN).empty()) << "bootrom-sim is not built";
    const std::filesystem::path catalogue = home.path() + "/catalogue";
    std::filesystem::create_directories(catalogue / "DEADDEAD");
    std::filesystem::create_directories(catalogue / kSerialText);
    BirdWriter loader;
    loader.addLoader(0x20000000, testsupport::firmwareBytes(4000, 5));
    loader.addLoaderStart(0x20000000);
    loader.setInfoField(1, "1.0.0");
    std::string error;
    ASSERT_TRUE(loader.writeFile((catalogue / "DEADDEAD" / "3.bird").string(), error, 1)) << error;
    BirdWriter firmware;
    std::vector<uint8_t> image = testsupport::firmwareBytes(5000, 7);
    const uint8_t tag[12] = {'C', 'V', 'F', 'W', 0, 0, 0, 7, 0x21, 0, 0, 7}; // build 7, 2.1.7
    std::copy(std::begin(tag), std::end(tag), image.begin() + 100);
    firmware.addFirmware(0x8000, image);
    firmware.setInfoField(1, "3.0.0");
    firmware.setInfoField(2, kSerialText);
    ASSERT_TRUE(firmware.writeFile((catalogue / kSerialText / "7.bird").string(), error, 1))
        << error;
    std::ofstream(catalogue / "recovery") << "12345678 9ABCDEF0 0F1E2D3C 4B5A6978 40F5849A 7\n";
    testsupport::UpdateServerProcess server(UPDATE_SERVER_BIN, catalogue.string(),
                                            home.path() + "/server.log");

    SpawnedProgram rom({BOOTROM_SIM_BIN, "--chip", "imx", "--hid", "--baud", "230400", "--uid",
                        "12345678,9ABCDEF0,0F1E2D3C,4B5A6978"});
    const auto line = rom.readLine(10s), entry = rom.readLine(10s);
    ASSERT_TRUE(line && entry) << rom.errors();
    const std::string device = line->substr(line->rfind(" on ") + 4);
    const std::string liveloader = entry->substr(entry->find('=') + 1);
    startTestbed({"--imx-rom", device, "--rom-baud", "230400", "--module", liveloader});
    EXPECT_NE(awaitEvent("usb-testbed: rom at /dev/hidraw"), "");

    auto fingerprint = updater({"-N", "-s", "USB", "-u", server.url()});
    EXPECT_EQ(fingerprint.exitStatus, 0) << fingerprint.out << fingerprint.err;
    EXPECT_NE(fingerprint.out.find("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]"), std::string::npos)
        << fingerprint.out;
    EXPECT_NE(awaitEvent("usb-testbed: plugged DEADDEAD"), "") << "the liveloader came up";

    auto recovery = updater({"-U", "-t", "RECOVER", "-s", "USB", "-u", server.url()});
    EXPECT_EQ(recovery.exitStatus, 0) << recovery.out << recovery.err;
    EXPECT_NE(recovery.out.find("Recovering firmware with build: 7"), std::string::npos)
        << recovery.out;
    auto discovery = updater({"-D"});
    EXPECT_NE(discovery.out.find("2.1.7 (         7)"), std::string::npos) << discovery.out;
    rom.signal(SIGTERM);
    EXPECT_EQ(rom.wait(10s), 0);
    EXPECT_NE(rom.output().find("liveloader runs build 7"), std::string::npos) << rom.output();
}

} // namespace
