// --doctor on this machine: the system's udev folders, /dev, accounts, processes, USB devices,
// the store and update server the options name, and the driver's entry to it.
#include "CaFile.h"
#include "Doctor.h"
#include "DoctorJson.h"
#include "JsonReport.h"
#include "PrintableText.h"
#include "ServerCommClass.h"
#include "ServerUrl.h"
#include "StoreLayout.h"
#include "ProgramIdentity.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <stdexcept>

namespace {

constexpr size_t kSecondLookBytes = 4096;

std::string environmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A ping that gives up sooner than a download would, and when it fails a second look that says
// why: not reached at all, an HTTP error, or something that is no update server.
bool pingServer(const std::string& url, const std::string& caFile, std::string& why) {
    if (!caFile.empty() && !checkCaFile(caFile, why))
        return false;
    ServerCommSettings settings;
    settings.connectTimeoutMs = 5000;
    settings.totalSeconds = 15;
    settings.caFile = caFile;
    const ServerCommClass server(settings);
    if (server.ping(url))
        return true;
    try {
        // Enough to quote the start of whatever answers.
        const ServerResponse response =
            server.httpGet(url, {{"op", "hi"}, {"rv", "2"}}, kSecondLookBytes);
        if (response.status != 200)
            why = "it answers HTTP " + std::to_string(response.status);
        else if (response.body.rfind("ok", 0) == 0)
            why = "it answered only when asked again";
        else
            why = "its answer is not an update server's (\"" +
                  printableText(response.body.substr(0, 40)) + "\")";
    } catch (const std::exception& e) {
        why = e.what();
    }
    return false;
}

} // namespace

DoctorEnvironment systemDoctorEnvironment(const std::string& storeDirectory,
                                          const std::string& serverUrl, const std::string& caFile) {
    namespace os = corvane::platform;
    DoctorEnvironment env;
    env.vendor = usbVendorInUse();
    env.udevRuleDirectories = {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d"};
    env.deviceDirectory = "/dev";
    env.storeDirectory = storeDirectory;
    env.serverUrl = serverUrl;
    env.usbEmulation = environmentText("CORVANE_USB_EMULATION");
    env.preload = environmentText("LD_PRELOAD");
    env.umockdevDirectory = environmentText("UMOCKDEV_DIR");
    env.user = os::currentUser();
    env.groupLists = os::groupDatabaseLists;
    env.pathGroup = [](const std::string& path) {
        std::string group;
        return os::pathGroup(path.c_str(), group) == aErrNone ? group : std::string();
    };
    env.mayReadAndWrite = [](const std::string& path) { return os::mayReadAndWrite(path.c_str()); };
    env.runningPrograms = os::runningPrograms;
    env.surveyUsb = os::surveyUsbAccess;
    env.usbAccess = os::usbAccessKind();
    env.serialPorts = os::serialPortNames;
    env.freeSpace = [](const std::string& path, uint64_t& bytes) {
        return os::freeSpace(path.c_str(), bytes);
    };
    env.pingServer = [caFile](const std::string& url, std::string& why) {
        return pingServer(url, caFile, why);
    };
    return env;
}

int doctorCommand(UpdaterDisplayInterface& display, const UpdaterOptions& options,
                  JsonReport* json) {
    // With --json the driver sends messages to the error output: standard output carries the
    // document alone.
    displayPrint(display, DISPLAY_INFO, "%s (%s)", kUpdaterName, kUpdaterVersion);
    if ((options.flags & FLAG_ANY_COMMAND) != 0) {
        displayPrint(display, DISPLAY_ERROR,
                     "--doctor runs on its own: give the other commands in a run of their own");
        return 1;
    }
    const std::string caFile =
        options.caFile.empty() ? environmentText(kCaFileVariable) : options.caFile;
    const std::vector<DoctorCheck> checks =
        runDoctorChecks(systemDoctorEnvironment(storeFolderFor(options.storeBase).directory,
                                                normaliseServerUrl(options.serverUrl), caFile));
    if (json)
        json->doctor(doctorJson(checks));
    else
        printDoctorTable(display, checks);
    return doctorExitStatus(checks);
}
