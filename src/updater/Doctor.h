// The pre-flight check (--doctor): why a module may not be seen or updated, found before the
// user asks. Every check reads the machine through DoctorEnvironment, so the checks run the same
// against the system and against a test's made-up one.
#pragma once

#include "UpdaterDisplayInterface.h"
#include "UpdaterOptions.h"
#include "UsbVendorId.h"

#include "os/host.h"
#include "os/usb_access.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class JsonReport;

enum class DoctorStatus { Pass, Warn, Fail };

struct DoctorCheck {
    const char* id;    // stable name for scripts: "udev-rule", "usb-access", ...
    const char* title; // as the table shows it
    DoctorStatus status = DoctorStatus::Pass;
    std::string finding{};
    std::string fix{}; // the command that fixes it; empty when it passed or nothing can
};

struct DoctorEnvironment {
    UsbVendorChoice vendor;
    std::vector<std::string> udevRuleDirectories; // by udev's precedence, the first one wins
    std::string deviceDirectory;                  // where the serial ports are
    std::string storeDirectory;                   // <base>/updater; empty when none can be named
    std::string serverUrl;
    std::string usbEmulation;      // CORVANE_USB_EMULATION; empty when unset
    std::string preload;           // LD_PRELOAD
    std::string umockdevDirectory; // UMOCKDEV_DIR, set by usb-testbed
    corvane::platform::UserAccount user;
    // Whether the group database makes the user (second) a member of the group (first).
    std::function<bool(const std::string&, const std::string&)> groupLists;
    // The group owning a path; empty when it cannot be read.
    std::function<std::string(const std::string&)> pathGroup;
    std::function<bool(const std::string&)> mayReadAndWrite;
    std::function<std::vector<std::string>()> runningPrograms;
    std::function<aErr(uint16_t, corvane::platform::UsbAccessSurvey&)> surveyUsb;
    // What decides USB access here: a udev rule and groups, or the WinUSB driver; the checks
    // follow it.
    corvane::platform::UsbAccessKind usbAccess = corvane::platform::UsbAccessKind::nodePermissions;
    // The system's serial ports, where the driver decides USB access (COM3, ...).
    std::function<std::vector<std::string>()> serialPorts;
    std::function<aErr(const std::string&, uint64_t&)> freeSpace;
    // Pings the update server at the URL; on failure, the text says why.
    std::function<bool(const std::string&, std::string&)> pingServer;
};

// The machine this process runs on, with the store and server the options name; caFile, when
// not empty, is the certificate authority file an https server is checked with.
DoctorEnvironment systemDoctorEnvironment(const std::string& storeDirectory,
                                          const std::string& serverUrl,
                                          const std::string& caFile = "");

// Every check, in the order the table shows them.
std::vector<DoctorCheck> runDoctorChecks(const DoctorEnvironment& environment);

// The human table, through the display's information level.
void printDoctorTable(UpdaterDisplayInterface& display, const std::vector<DoctorCheck>& checks);

// 1 when a check failed, else 0: warnings do not fail the run.
int doctorExitStatus(const std::vector<DoctorCheck>& checks);

// "pass", "warn" or "fail".
const char* doctorStatusName(DoctorStatus status);

// --doctor from the driver: the version line (on the error output when the result is JSON), the
// checks for the options' store and server, and the table, or with json their section of its
// document. Returns the exit status; other commands on the same command line are refused.
int doctorCommand(UpdaterDisplayInterface& display, const UpdaterOptions& options,
                  JsonReport* json);
