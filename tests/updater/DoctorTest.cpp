// The pre-flight checks against made-up machines: udev folders, /dev and the store in a
// temporary directory, accounts, processes, USB devices and the server answered by the test.
#include "Doctor.h"
#include "DoctorJson.h"
#include "PrintableText.h"
#include "RecordingDisplay.h"
#include "ScopedTempDir.h"
#include "ShellRoundTrip.h"
#include "UsbVendorId.h"
#include "aStream_USBInternal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;

constexpr const char* kGrant =
    "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"32a5\", MODE=\"0660\", GROUP=\"plugdev\", "
    "TAG+=\"uaccess\"\n";
constexpr const char* kImxLine = "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1fc9\", "
                                 "ATTR{idProduct}==\"0130\", MODE=\"0660\"\n";

// One made-up machine. Every check reads it alone: nothing of the real one leaks in.
struct Machine {
    ScopedTempDir root;
    std::set<std::string> openPorts;    // device nodes this user may open
    std::set<std::string> groupListsMe; // groups the database makes the user a member of
    std::vector<std::string> programs{"systemd", "bash"};
    corvane::platform::UsbAccessSurvey usb{1, 0, {}};
    aErr usbResult = aErrNone;
    uint64_t freeBytes = uint64_t{1} << 30;
    bool serverAnswers = true;
    DoctorEnvironment env;

    Machine() {
        for (const char* dir : {"etc", "lib", "dev"})
            fs::create_directories(path(dir));
        env.vendor = usbVendorChoice(nullptr);
        env.vendor.inUse = env.vendor.builtIn = 0x32A5;
        env.udevRuleDirectories = {path("etc"), path("lib")};
        env.deviceDirectory = path("dev");
        env.storeDirectory = path("home/.quendra/updater");
        env.serverUrl = "http://127.0.0.1:8380/cgi/u";
        env.user = {"ada", false, {"ada", "plugdev"}};
        env.groupLists = [this](const std::string& group, const std::string&) {
            return groupListsMe.count(group) != 0;
        };
        env.pathGroup = [](const std::string&) { return std::string("dialout"); };
        env.mayReadAndWrite = [this](const std::string& p) { return openPorts.count(p) != 0; };
        env.runningPrograms = [this] { return programs; };
        env.surveyUsb = [this](uint16_t vendor, corvane::platform::UsbAccessSurvey& out) {
            EXPECT_EQ(vendor, env.vendor.inUse);
            out = usb;
            return usbResult;
        };
        env.freeSpace = [this](const std::string&, uint64_t& bytes) {
            bytes = freeBytes;
            return aErrNone;
        };
        env.pingServer = [this](const std::string&, std::string& why) {
            why = "Couldn't connect to server";
            return serverAnswers;
        };
        write("etc/70-corvane.rules", std::string(kGrant) + kImxLine);
    }
    std::string path(const std::string& relative) const { return root.path() + "/" + relative; }
    void write(const std::string& relative, const std::string& text) const {
        fs::create_directories(fs::path(path(relative)).parent_path());
        std::ofstream(path(relative)) << text;
    }
    void port(const std::string& name, bool open) {
        write("dev/" + name, "");
        if (open)
            openPorts.insert(path("dev/" + name));
    }
};

struct CheckCase {
    const char* name;
    void (*arrange)(Machine&);
    const char* check;
    DoctorStatus status;
    const char* finding; // a part of it; ROOT is the machine's folder
    std::string fix;     // the whole of it; ROOT as above
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

std::string rooted(std::string text, const Machine& m) {
    for (size_t at; (at = text.find("ROOT")) != std::string::npos;)
        text.replace(at, 4, m.root.path());
    return text;
}

class DoctorCheckTest : public testing::TestWithParam<CheckCase> {};

TEST_P(DoctorCheckTest, FindsWhatStandsInTheWayAndTheFix) {
    const CheckCase& c = GetParam();
    Machine m;
    c.arrange(m);
    const std::vector<DoctorCheck> checks = runDoctorChecks(m.env);
    const auto found = std::find_if(checks.begin(), checks.end(), [&](const DoctorCheck& k) {
        return k.id == std::string(c.check);
    });
    ASSERT_NE(found, checks.end());
    EXPECT_EQ(doctorStatusName(found->status), std::string(doctorStatusName(c.status)))
        << found->finding;
    EXPECT_NE(found->finding.find(rooted(c.finding, m)), std::string::npos) << found->finding;
    EXPECT_EQ(found->fix, rooted(c.fix, m));
}

constexpr const char* kReload = "sudo udevadm control --reload-rules && sudo udevadm trigger";
constexpr const char* kInstall =
    "echo 'SUBSYSTEM==\"usb\", ATTR{idVendor}==\"32a5\", MODE=\"0660\", GROUP=\"plugdev\", "
    "TAG+=\"uaccess\"' | sudo tee ROOT/etc/70-corvane.rules && sudo udevadm control "
    "--reload-rules && sudo udevadm trigger";

INSTANTIATE_TEST_SUITE_P(
    Checks, DoctorCheckTest,
    testing::Values(
        // udev rule
        CheckCase{"RuleGrantsTheVendor", [](Machine&) {}, "udev-rule", DoctorStatus::Pass,
                  "ROOT/etc/70-corvane.rules grants access to vendor 32a5 (the built-in id)", ""},
        CheckCase{"RuleSplitOverLinesInTheSystemFolder",
                  [](Machine& m) {
                      fs::remove(m.path("etc/70-corvane.rules"));
                      m.write("lib/99-lab.rules",
                              "# lab\nSUBSYSTEM==\"usb\", \\\n"
                              "  ATTRS{idVendor}==\"32a5\", TAG+=\"uaccess\"\n");
                  },
                  "udev-rule", DoctorStatus::Pass, "ROOT/lib/99-lab.rules grants", ""},
        CheckCase{"CommentedOutRuleGrantsNothing",
                  [](Machine& m) { m.write("etc/70-corvane.rules", std::string("# ") + kGrant); },
                  "udev-rule", DoctorStatus::Fail,
                  "no udev rule grants access to vendor 32a5 (the built-in id) (looked in "
                  "ROOT/etc, ROOT/lib)",
                  kInstall},
        CheckCase{"OnlyTheBootRomLine",
                  [](Machine& m) { m.write("etc/70-corvane.rules", kImxLine); }, "udev-rule",
                  DoctorStatus::Fail, "no udev rule grants", kInstall},
        CheckCase{"NoRuleForTheSuperuserOnlyWarns",
                  [](Machine& m) {
                      fs::remove(m.path("etc/70-corvane.rules"));
                      m.env.user.privileged = true;
                  },
                  "udev-rule", DoctorStatus::Warn, "no udev rule grants", kInstall},
        CheckCase{"UpperCaseVendorNeverMatches",
                  [](Machine& m) {
                      m.write("etc/70-corvane.rules",
                              "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"32A5\", "
                              "MODE=\"0666\"\n");
                  },
                  "udev-rule", DoctorStatus::Fail,
                  "names vendor 32A5, which udev never matches: the system writes it 32a5",
                  "sudo sed -i 's/idVendor}==\"32A5\"/idVendor}==\"32a5\"/' "
                  "ROOT/etc/70-corvane.rules && sudo udevadm control --reload-rules && sudo "
                  "udevadm trigger"},
        // The rule in /etc hides the packaged one of the same name, as in udev.
        CheckCase{"RuleForAnotherVendorHidesTheGoodOne",
                  [](Machine& m) {
                      m.write("lib/70-corvane.rules", kGrant);
                      m.write("etc/70-corvane.rules", "SUBSYSTEM==\"usb\", "
                                                      "ATTR{idVendor}==\"abcd\", MODE=\"0666\"\n");
                  },
                  "udev-rule", DoctorStatus::Fail,
                  "ROOT/etc/70-corvane.rules grants vendor abcd, but the vendor id in use is 32a5",
                  "sudo sed -i 's/idVendor}==\"abcd\"/idVendor}==\"32a5\"/' "
                  "ROOT/etc/70-corvane.rules && sudo udevadm control --reload-rules && sudo "
                  "udevadm trigger"},
        CheckCase{"EnvironmentNamesAnotherVendor",
                  [](Machine& m) {
                      m.env.vendor.inUse = 0x1234;
                      m.env.vendor.fromEnvironment = true;
                  },
                  "udev-rule", DoctorStatus::Fail,
                  "grants vendor 32a5, but the vendor id in use is 1234 (from "
                  "CORVANE_USB_VENDOR_ID)",
                  "unset CORVANE_USB_VENDOR_ID"},
        CheckCase{"IgnoredVendorVariable", [](Machine& m) { m.env.vendor.ignored = "0x12345"; },
                  "udev-rule", DoctorStatus::Warn, "CORVANE_USB_VENDOR_ID=0x12345 is no vendor id",
                  "unset CORVANE_USB_VENDOR_ID"},
        // USB access
        CheckCase{"AllModulesOpen",
                  [](Machine& m) {
                      m.usb = {2, 0, {}};
                  },
                  "usb-access", DoctorStatus::Pass,
                  "2 Corvane module(s) on USB, all open to this user", ""},
        CheckCase{"ListedButNotOpenable",
                  [](Machine& m) {
                      m.usb = {2, 1, {}};
                  },
                  "usb-access", DoctorStatus::Fail,
                  "1 of 2 Corvane module(s) on USB cannot be opened by ada",
                  "sudo udevadm control --reload-rules && sudo udevadm trigger, then plug the "
                  "module in again"},
        CheckCase{"NotOpenableWithoutRuleOrGroup",
                  [](Machine& m) {
                      m.usb = {1, 1, {}};
                      fs::remove(m.path("etc/70-corvane.rules"));
                      m.env.user.sessionGroups = {"ada"};
                  },
                  "usb-access", DoctorStatus::Fail,
                  "cannot be opened by ada, who is not in the "
                  "plugdev group",
                  std::string(kInstall) + " && sudo usermod -aG plugdev ada, then plug the "
                                          "module in again"},
        CheckCase{"NoModulePlugged",
                  [](Machine& m) {
                      m.usb = {0, 0, {}};
                  },
                  "usb-access", DoctorStatus::Warn,
                  "no Corvane module is on USB (lsusb -d 32a5: lists", ""},
        CheckCase{"NoUsbBus", [](Machine& m) { m.usbResult = aErrIO; }, "usb-access",
                  DoctorStatus::Warn, "cannot be listed", ""},
        // Serial ports
        CheckCase{"PortsOpen",
                  [](Machine& m) {
                      m.port("ttyS0", true);
                      m.port("ttyUSB0", true);
                      m.port("ttyUSBx", false); // no port of any kind
                  },
                  "serial-access", DoctorStatus::Pass, "2 serial port(s), all open", ""},
        CheckCase{"NoPorts", [](Machine& m) { m.port("ttyACM", false); }, "serial-access",
                  DoctorStatus::Warn, "no serial port (ttyS*, ttyUSB*, ttyACM*) in ROOT/dev", ""},
        CheckCase{"AdapterOfAGroupNotJoined",
                  [](Machine& m) {
                      m.port("ttyS0", false);
                      m.port("ttyACM0", false);
                  },
                  "serial-access", DoctorStatus::Fail,
                  "ada is not in the group dialout, which owns ROOT/dev/ttyACM0, ROOT/dev/ttyS0",
                  "sudo usermod -aG dialout ada, then log in again"},
        CheckCase{"GroupJoinedAfterLogin",
                  [](Machine& m) {
                      m.port("ttyUSB1", false);
                      m.groupListsMe = {"dialout"};
                  },
                  "serial-access", DoctorStatus::Fail, "ada joined the group dialout",
                  "newgrp dialout"},
        CheckCase{"OnlyBuiltInPortsClosed", [](Machine& m) { m.port("ttyS3", false); },
                  "serial-access", DoctorStatus::Warn, "which owns ROOT/dev/ttyS3",
                  "sudo usermod -aG dialout ada, then log in again"},
        CheckCase{"ModemManagerRuns", [](Machine& m) { m.programs.push_back("ModemManager"); },
                  "serial-holder", DoctorStatus::Warn, "ModemManager is running",
                  "sudo systemctl stop ModemManager"},
        // Store
        CheckCase{"StoreMadeAtFirstUse", [](Machine&) {}, "store", DoctorStatus::Pass,
                  "ROOT/home/.quendra/updater is made at first use; ROOT can be written", ""},
        CheckCase{"StoreNearlyFull",
                  [](Machine& m) {
                      fs::create_directories(m.env.storeDirectory);
                      m.freeBytes = uint64_t{100} << 20;
                  },
                  "store", DoctorStatus::Warn,
                  "ROOT/home/.quendra/updater can be written, but only 100 MiB are free there",
                  "du -sh ROOT/home/.quendra/updater/* shows what the store keeps; or use a store "
                  "elsewhere: Updater -i DIR ..."},
        CheckCase{"StoreFull", [](Machine& m) { m.freeBytes = uint64_t{3} << 20; }, "store",
                  DoctorStatus::Fail, "only 3 MiB are free",
                  "du -sh ROOT/home/.quendra/updater/* shows what the store keeps; or use a store "
                  "elsewhere: Updater -i DIR ..."},
        CheckCase{"FileInTheStoresWay", [](Machine& m) { m.write("home/.quendra", "x"); }, "store",
                  DoctorStatus::Fail, "ROOT/home/.quendra is in the way of the store",
                  "mv ROOT/home/.quendra ROOT/home/.quendra.old"},
        // The commands could not make the store through it.
        CheckCase{"LinkToNothingInTheStoresWay",
                  [](Machine& m) {
                      fs::create_directories(m.path("home"));
                      fs::create_directory_symlink(m.path("gone"), m.path("home/.quendra"));
                  },
                  "store", DoctorStatus::Fail,
                  "ROOT/home/.quendra is in the way of the store ROOT/home/.quendra/updater: it is "
                  "a symbolic link to nothing",
                  "mv ROOT/home/.quendra ROOT/home/.quendra.old"},
        CheckCase{"NoHome", [](Machine& m) { m.env.storeDirectory.clear(); }, "store",
                  DoctorStatus::Fail, "the home directory cannot be found",
                  "Updater -i DIR ... (a folder for the store)"},
        // Update server
        CheckCase{"ServerAnswers", [](Machine&) {}, "update-server", DoctorStatus::Pass,
                  "http://127.0.0.1:8380/cgi/u answers a ping", ""},
        CheckCase{"DefaultServerSilent", [](Machine& m) { m.serverAnswers = false; },
                  "update-server", DoctorStatus::Fail,
                  "does not answer a ping: Couldn't connect to server",
                  "update-server --port 8380 CATALOGUE & (the local mirror), or name the server "
                  "with -u URL"},
        CheckCase{"NamedServerSilent",
                  [](Machine& m) {
                      m.serverAnswers = false;
                      m.env.serverUrl = "http://mirror.lab:8380/cgi/u";
                  },
                  "update-server", DoctorStatus::Fail, "http://mirror.lab:8380/cgi/u does not",
                  "name the server with -u URL (now -u http://mirror.lab:8380/cgi/u)"},
        // Emulation
        CheckCase{"RealUsbOnly", [](Machine&) {}, "usb-emulation", DoctorStatus::Pass,
                  "neither USB emulation nor a usb-testbed", ""},
        CheckCase{"EmulationAndTestbed",
                  [](Machine& m) {
                      m.env.usbEmulation = "40F5849A:13@127.0.0.1:5000,1:2@127.0.0.1:5001";
                      m.env.preload = "/usr/lib/x86_64-linux-gnu/libumockdev-preload.so.0";
                      m.env.umockdevDirectory = "/tmp/umockdev.X";
                  },
                  "usb-emulation", DoctorStatus::Warn,
                  "CORVANE_USB_EMULATION shows 2 virtual module(s) as USB modules; a "
                  "usb-testbed's emulated devices stand in for the USB stack "
                  "(UMOCKDEV_DIR=/tmp/umockdev.X)",
                  "unset CORVANE_USB_EMULATION LD_PRELOAD UMOCKDEV_DIR"}),
    [](const auto& info) { return std::string(info.param.name); });

// Fix lines name folders, files, groups and vendor texts found on the machine: pasted into bash,
// each of them reaches the command as one word, whatever it holds.
struct FixCase {
    const char* name;
    void (*arrange)(Machine&, const std::string& odd); // odd: a folder that exists
    const char* check;
    std::vector<std::string> commands; // only called, never run
    std::vector<std::string> calls;    // ODD stands for the odd folder
};

void PrintTo(const FixCase& c, std::ostream* os) {
    *os << c.name;
}

class DoctorFixTest : public testing::TestWithParam<FixCase> {};

TEST_P(DoctorFixTest, EachFixLineReachesTheShellWordForWord) {
    const FixCase& c = GetParam();
    Machine m;
    const std::string odd = m.path("it's a $(id) `id` dir\n\x1b[8m \xc2\x9b");
    fs::create_directories(odd);
    c.arrange(m, odd);
    const std::vector<DoctorCheck> checks = runDoctorChecks(m.env);
    const auto found = std::find_if(checks.begin(), checks.end(), [&](const DoctorCheck& k) {
        return k.id == std::string(c.check);
    });
    ASSERT_NE(found, checks.end());
    ASSERT_EQ(found->status, DoctorStatus::Fail) << found->finding;
    // The odd folder's name is all that is not ASCII, and it comes out escaped.
    EXPECT_TRUE(std::all_of(found->fix.begin(), found->fix.end(), [](char c) {
        return c >= 0x20 && c < 0x7F;
    })) << printableText(found->fix);
    std::vector<std::string> calls = c.calls;
    for (std::string& word : calls)
        if (const size_t at = word.find("ODD"); at != std::string::npos)
            word.replace(at, 3, odd);
    EXPECT_EQ(testsupport::shellCalls(found->fix, c.commands), calls) << printableText(found->fix);
}

INSTANTIATE_TEST_SUITE_P(
    Fixes, DoctorFixTest,
    testing::Values(
        FixCase{"RuleInstalledInAnOddFolder",
                [](Machine& m, const std::string& odd) { m.env.udevRuleDirectories = {odd}; },
                "udev-rule",
                {"sudo"},
                {"sudo", "tee", "ODD/70-corvane.rules", "sudo", "udevadm", "control",
                 "--reload-rules", "sudo", "udevadm", "trigger"}},
        FixCase{"OddVendorTextInAnOddFile",
                [](Machine& m, const std::string& odd) {
                    m.env.udevRuleDirectories = {odd};
                    std::ofstream(odd + "/70-corvane.rules")
                        << "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"ab'$(id)\", MODE=\"0666\"\n";
                },
                "udev-rule",
                {"sudo"},
                {"sudo", "sed", "-i", "s/idVendor}==\"ab'$(id)\"/idVendor}==\"32a5\"/",
                 "ODD/70-corvane.rules", "sudo", "udevadm", "control", "--reload-rules", "sudo",
                 "udevadm", "trigger"}},
        FixCase{"PortsInAnOddFolder",
                [](Machine& m, const std::string& odd) {
                    m.env.deviceDirectory = odd;
                    m.env.user.sessionGroups.push_back("dialout");
                    for (const char* port : {"ttyUSB0", "ttyS1"})
                        std::ofstream(odd + "/" + port).flush();
                },
                "serial-access",
                {"sudo"},
                {"sudo", "chmod", "g+rw", "ODD/ttyS1", "ODD/ttyUSB0"}},
        FixCase{"GroupWithAnOddName",
                [](Machine& m, const std::string&) {
                    m.port("ttyUSB0", false);
                    m.env.pathGroup = [](const std::string&) { return "dial $(id)\nout"; };
                    m.groupListsMe = {"dial $(id)\nout"};
                },
                "serial-access",
                {"newgrp"},
                {"newgrp", "dial $(id)\nout"}},
        FixCase{"FileInAnOddStoresWay",
                [](Machine& m, const std::string& odd) {
                    m.env.storeDirectory = odd + "/base/updater";
                    std::ofstream(odd + "/base") << "x";
                },
                "store",
                {"mv"},
                {"mv", "ODD/base", "ODD/base.old"}},
        FixCase{"LinkToNothingInAnOddStoresWay",
                [](Machine& m, const std::string& odd) {
                    m.env.storeDirectory = odd + "/base/updater";
                    fs::create_directory_symlink(odd + "/gone", odd + "/base");
                },
                "store",
                {"mv"},
                {"mv", "ODD/base", "ODD/base.old"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The table, the JSON document and the exit status say the same: warnings pass, a failure fails.
TEST(DoctorReport, TableJsonAndExitStatusAgree) {
    Machine m;
    m.usb = {0, 0, {}}; // a warning, and so is /dev without serial ports
    for (const bool fail : {false, true}) {
        m.serverAnswers = !fail;
        const std::vector<DoctorCheck> checks = runDoctorChecks(m.env);
        EXPECT_EQ(doctorExitStatus(checks), fail ? 1 : 0);

        RecordingDisplay display;
        printDoctorTable(display, checks);
        const auto lines = display.messages();
        ASSERT_EQ(lines.size(), checks.size() + 3 + (fail ? 1 : 0));
        EXPECT_EQ(lines[1], "    Check              Result Finding");
        EXPECT_EQ(lines[3], "    USB access         WARN   no Corvane module is on USB (lsusb -d "
                            "32a5: lists one plugged in)");
        EXPECT_EQ(lines.back(),
                  fail ? "4 passed, 2 warned, 1 failed" : "5 passed, 2 warned, 0 failed");

        const nlohmann::json doc = doctorJson(checks);
        EXPECT_EQ(doc["failed"], fail ? 1 : 0);
        ASSERT_EQ(doc["checks"].size(), checks.size());
        for (size_t i = 0; i < checks.size(); ++i) {
            EXPECT_EQ(doc["checks"][i]["check"], checks[i].id);
            EXPECT_EQ(doc["checks"][i]["status"], doctorStatusName(checks[i].status));
            EXPECT_EQ(doc["checks"][i]["fix"].is_null(), checks[i].fix.empty());
        }
    }
}

// The updater reads the vendor id variable as the link library does.
TEST(DoctorVendor, SameIdAsTheUsbLayer) {
    for (const char* value : {"1234", "0xBEEF", "0Xbeef", "12345", "xyz", "", "0x", "0"}) {
        setenv("CORVANE_USB_VENDOR_ID", value, 1);
        EXPECT_EQ(usbVendorInUse().inUse, aUSB_VendorId()) << value;
        // An empty variable is as good as unset; any other text is used or said to be ignored.
        EXPECT_EQ(usbVendorInUse().ignored.empty(), usbVendorInUse().fromEnvironment || !*value)
            << value;
    }
    unsetenv("CORVANE_USB_VENDOR_ID");
    EXPECT_EQ(usbVendorInUse().inUse, aUSB_DefaultVendorId());
    EXPECT_FALSE(usbVendorInUse().fromEnvironment);
}

} // namespace
