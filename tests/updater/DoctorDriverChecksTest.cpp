// The pre-flight checks where the bound driver decides USB access (Windows): against a made-up
// machine, which modules lack the WinUSB driver and which COM ports another program holds, and
// that nothing of udev, groups or ModemManager is checked there.
#include "Doctor.h"
#include "ScopedTempDir.h"
#include "UsbVendorId.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using corvane::platform::UsbAccessKind;
using corvane::platform::UsbAccessSurvey;

struct DriverMachine {
    ScopedTempDir root;
    UsbAccessSurvey usb{};
    aErr usbResult = aErrNone;
    std::vector<std::string> ports;
    std::set<std::string> heldPorts; // device paths another program has open
    DoctorEnvironment env;

    DriverMachine() {
        env.vendor = usbVendorChoice(nullptr);
        env.vendor.inUse = 0x32A5;
        env.usbAccess = UsbAccessKind::driverBinding;
        env.storeDirectory = root.path() + "/profile/.quendra/updater";
        env.serverUrl = "http://127.0.0.1:8380/cgi/u";
        env.user = {"ada", false, {}};
        env.surveyUsb = [this](uint16_t, UsbAccessSurvey& out) {
            out = usb;
            return usbResult;
        };
        env.serialPorts = [this] { return ports; };
        env.mayReadAndWrite = [this](const std::string& p) { return heldPorts.count(p) == 0; };
        // What only the udev checks read: reaching it is a fault.
        env.groupLists = [](const std::string&, const std::string&) {
            ADD_FAILURE() << "groups read";
            return false;
        };
        env.runningPrograms = [] {
            ADD_FAILURE() << "programs read";
            return std::vector<std::string>{};
        };
        env.freeSpace = [](const std::string&, uint64_t& bytes) {
            bytes = uint64_t{1} << 30;
            return aErrNone;
        };
        env.pingServer = [](const std::string&, std::string&) { return true; };
    }

    DoctorCheck check(const std::string& id) {
        for (const DoctorCheck& c : runDoctorChecks(env))
            if (c.id == id)
                return c;
        ADD_FAILURE() << "no check " << id;
        return DoctorCheck{"", ""};
    }
};

TEST(DoctorDriverChecks, TheChecksAreTheDriverOnesInTheirOrder) {
    DriverMachine machine;
    std::vector<std::string> ids;
    for (const DoctorCheck& c : runDoctorChecks(machine.env))
        ids.push_back(c.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"usb-access", "serial-access", "store",
                                             "update-server", "usb-emulation"}));
    for (const DoctorCheck& c : runDoctorChecks(machine.env)) {
        EXPECT_EQ((c.finding + c.fix).find("udev"), std::string::npos) << c.id;
        EXPECT_EQ((c.finding + c.fix).find("sudo"), std::string::npos) << c.id;
    }
}

struct DriverCase {
    const char* name;
    UsbAccessSurvey survey;
    aErr result;
    DoctorStatus status;
    const char* finding;
    const char* fix;
};

class UsbDriver : public testing::TestWithParam<DriverCase> {};

TEST_P(UsbDriver, SaysWhichModulesLackWinUsbAndHowToBindIt) {
    DriverMachine machine;
    machine.usb = GetParam().survey;
    machine.usbResult = GetParam().result;
    const DoctorCheck c = machine.check("usb-access");
    EXPECT_EQ(c.status, GetParam().status);
    EXPECT_EQ(c.finding, GetParam().finding);
    EXPECT_EQ(c.fix, GetParam().fix);
}

INSTANTIATE_TEST_SUITE_P(
    Doctor, UsbDriver,
    testing::Values(
        DriverCase{"NoBus",
                   {},
                   aErrIO,
                   DoctorStatus::Warn,
                   "the USB devices cannot be listed: this machine shows no USB bus",
                   ""},
        DriverCase{"NoModule",
                   {},
                   aErrNone,
                   DoctorStatus::Warn,
                   "no Corvane module is on USB (vendor id 32A5)",
                   ""},
        DriverCase{"AllBound",
                   {2, 0, {}},
                   aErrNone,
                   DoctorStatus::Pass,
                   "2 Corvane module(s) on USB, all with the WinUSB driver",
                   ""},
        DriverCase{"TwoUnbound",
                   {3, 2, {0x13, 0x13}},
                   aErrNone,
                   DoctorStatus::Fail,
                   "2 of 3 Corvane module(s) on USB have no WinUSB driver (USB\\VID_32A5&PID_0013)",
                   "bind WinUSB to USB\\VID_32A5&PID_0013 with Zadig (Options > List All Devices, "
                   "choose the module, WinUSB, Replace Driver) or an INF file that names it, then "
                   "plug the module in again"}),
    [](const testing::TestParamInfo<DriverCase>& info) { return std::string(info.param.name); });

TEST(DoctorDriverChecks, ComPortsHeldByAnotherProgramAreNamed) {
    DriverMachine machine;
    EXPECT_EQ(machine.check("serial-access").status, DoctorStatus::Warn) << "no port at all";

    machine.ports = {"COM1", "COM3", "COM12"};
    DoctorCheck c = machine.check("serial-access");
    EXPECT_EQ(c.status, DoctorStatus::Pass);
    EXPECT_EQ(c.finding, "3 serial port(s), none held by another program");

    machine.heldPorts = {"\\\\.\\COM3", "\\\\.\\COM12"};
    c = machine.check("serial-access");
    EXPECT_EQ(c.status, DoctorStatus::Warn);
    EXPECT_EQ(c.finding, "COM3, COM12 are in use by another program, so recovery cannot open them");
    EXPECT_EQ(c.fix, "close the program that holds COM3, COM12");
}

} // namespace
