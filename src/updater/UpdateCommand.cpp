// The update command (-U): picks a BIRD image, connects to the module (directly or through a
// router), checks the image against it, runs the loader and firmware phases of the link upgrade
// protocol, records the transfer and confirms the module runs the new firmware.
#include "Debug.h"
#include "LoadBird.h"
#include "ModuleAccess.h"
#include "PermissionHint.h"
#include "Retrieval.h"
#include "StoreAccess.h"
#include "UpdaterCommands.h"

#include "corvane/aTime.h"

#include <exception>
#include <memory>
#include <optional>

using Corvane::Module;

namespace {

// A module re-enumerates right after answering LOAD; this long its old link may still look up.
constexpr uint32_t kLoaderDropPolls = 40;
constexpr uint32_t kLoaderDropPollMs = 25;

struct ReconnectPace {
    uint32_t attempts;
    uint32_t pauseMs;
    uint32_t budgetMs; // no new attempt starts once this much time has passed
};
// After the loader starts: 15 attempts a second apart.
constexpr ReconnectPace kAfterLoader{15, 1000, UINT32_MAX};
// After the reboot: the same patience, asked more often, as a reboot is usually quick. Bounded by
// time as well, since a discovery over TCP/IP listens for seconds per attempt.
constexpr ReconnectPace kAfterReboot{150, 100, 15000};
// A module behind a router that answers, but for other firmware than the image, is asked again
// this long before that answer stands.
constexpr uint32_t kBusSettleMs = 3000;

// After a failed attempt: false when the next one would start past the budget, else the pause.
bool pauseBeforeNext(const ReconnectPace& pace, uint32_t start) {
    if (uint64_t{aTime_GetMSTicks() - start} + pace.pauseMs >= pace.budgetMs)
        return false;
    aTime_MSSleep(pace.pauseMs);
    return true;
}

// Connects again over the transport the module was reached by; a TCP/IP module announces itself
// anew by discovery, a USB one enumerates anew.
bool reconnectModule(Module& module, linkType type, uint32_t serial, const ReconnectPace& pace) {
    module.disconnect();
    const uint32_t start = aTime_GetMSTicks();
    for (uint32_t attempt = 1; attempt <= pace.attempts; ++attempt) {
        if (attempt % 3 == 0 && type == USB)
            Debug_Print(DEBUG_APP,
                        "Failed enumeration after 3 tries, refreshing libusb context.\n");
        module.discoverAndConnect(type, serial);
        if (module.isConnected())
            return true;
        if (!pauseBeforeNext(pace, start))
            break;
    }
    return false;
}

void waitForLoaderRestart(Module& module) {
    for (uint32_t poll = 0; poll < kLoaderDropPolls && module.isConnected(); ++poll)
        aTime_MSSleep(kLoaderDropPollMs);
}

// What a module says it runs once it is back after the reboot.
struct RunningFirmware {
    uint32_t build = 0;
    char version[32] = "";
    aErr versionErr = aErrNotFound;
    bool reported() const { return build != 0 && versionErr == aErrNone; }
};

RunningFirmware readRunningFirmware(Module& module) {
    RunningFirmware running;
    DiscoveredDevice device;
    module.getBuild(&running.build); // stays 0 when the module does not say
    running.versionErr = readVersion(module, device);
    snprintf(running.version, sizeof running.version, "%d.%d.%u", device.versionMajor,
             device.versionMinor, device.versionPatch);
    return running;
}

// An image given by path names no build; its version says what it is.
bool runsImage(const RunningFirmware& running, uint32_t build, const BirdFile& bird) {
    return running.reported() &&
           (build != 0 ? running.build == build : bird.version() == running.version);
}

// A module behind a router restarts on the bus while the router's link stays up, and may answer
// for its old firmware for a moment after the reboot request: it is asked until it runs the
// image, for at most kBusSettleMs after its first full answer.
RunningFirmware awaitBusModule(Module& module, uint32_t build, const BirdFile& bird) {
    const uint32_t start = aTime_GetMSTicks();
    std::optional<uint32_t> firstAnswer;
    RunningFirmware running;
    for (uint32_t attempt = 1; attempt <= kAfterReboot.attempts && module.isConnected();
         ++attempt) {
        running = readRunningFirmware(module);
        if (runsImage(running, build, bird))
            break;
        if (running.reported() && !firstAnswer)
            firstAnswer = aTime_GetMSTicks();
        if (firstAnswer && aTime_GetMSTicks() - *firstAnswer >= kBusSettleMs)
            break;
        if (!pauseBeforeNext(kAfterReboot, start))
            break;
    }
    return running;
}

// After the reboot: reaches the module again, reads its build and version back and says whether
// the image took. Only a report: the transfer itself has succeeded by then.
void confirmNewFirmware(UpdaterContext& context, Module& module, uint32_t serial, bool behindRouter,
                        linkType reachedBy, uint32_t build, const BirdFile& bird) {
    RunningFirmware running;
    bool reached = false;
    if (behindRouter) {
        running = awaitBusModule(module, build, bird);
        reached = running.build != 0 || running.versionErr == aErrNone;
    } else if ((reached = reconnectModule(module, reachedBy, serial, kAfterReboot))) {
        running = readRunningFirmware(module);
    }
    module.disconnect();
    if (!reached) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Module [%08X] did not come back after the update", serial);
    } else if (!running.reported()) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Module [%08X] came back but did not report its firmware (%d)", serial,
                     running.versionErr);
    } else if (runsImage(running, build, bird)) {
        displayPrint(context.display, DISPLAY_INFO,
                     "Module [%08X] now runs the new firmware: version %s, build %u", serial,
                     running.version, running.build);
    } else {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Module [%08X] runs version %s, build %u, not the image's firmware", serial,
                     running.version, running.build);
    }
}

} // namespace

bool updateCommand(UpdaterContext& context, const UpdateRequest& request) {
    const uint32_t serial = request.serial;
    uint32_t build = request.build;
    const std::string& birdFile = request.birdFile;
    const uint8_t moduleAddress = request.moduleAddress;
    const uint32_t routerSerial = request.routerSerial;
    const bool override = request.override;
    UpdaterDisplayInterface& display = context.display;
    if (serial == 0) {
        displayPrint(display, DISPLAY_ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "Update_Firmware");
    if (!store)
        return false;
    StoreEntry entry;
    if (!store->findDevice(serial, &entry))
        entry = store->deviceEntry(serial);
    const uint32_t start = aTime_GetMSTicks();

    if (birdFile.empty() && build == 0) {
        std::string latest, firmwareId;
        context.server.QueryBuild(serial, latest, firmwareId, context.serverUrl);
        build = latestBuildNumber(latest);
        if (build != 0) {
            try {
                BirdFile probe;
                entry.loadBird(std::to_string(build) + ".bird", probe);
            } catch (const std::exception&) {
                displayPrint(display, DISPLAY_INFO,
                             "New firmware is available.  Updater will proceed if valid firmware "
                             "is found locally.");
                build = 0;
            }
        }
        if (build == 0) {
            if (const int latestDownload = entry.attributes.getInt("LATEST_DOWNLOAD", 0);
                latestDownload > 0) {
                displayPrint(display, DISPLAY_INFO, "Updating with the Latest Download");
                build = static_cast<uint32_t>(latestDownload);
            } else if (const int latestTransfer = entry.attributes.getInt("LATEST_TRANSFER", 0);
                       latestTransfer > 0) {
                displayPrint(display, DISPLAY_INFO, "Updating with the Latest Transfer");
                build = static_cast<uint32_t>(latestTransfer);
            } else {
                entry.attributes.getString("LAST_TRANSFER_VERSION");
                displayPrint(display, DISPLAY_ERROR, "Could not find valid build for this device.");
                return false;
            }
        }
    }

    BirdFile bird;
    try {
        bird = load_bird(context, "Updating", birdFile, serial, build, false);
    } catch (const std::exception&) {
        displayPrint(display, DISPLAY_ERROR, "Failed to load bird file");
        return false;
    }
    if (bird.hasOffsets()) {
        Debug_Print(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!bird.updateSerialNumber(serial)) {
            Debug_Print(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            displayPrint(display, DISPLAY_ERROR,
                         "Unable to write the serial number into the firmware image");
            return false;
        }
        Debug_Print(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    aErr err = aErrNone;
    Module module(moduleAddress, static_cast<uint8_t>(0));
    linkType reachedBy = USB;
    auto fail = [&](aErr e) {
        Debug_Print(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", e);
        return false;
    };
    if ((err = setLocalLinkConfig(context, module)) != aErrNone)
        return fail(err);
    if (routerSerial != 0) {
        if (moduleAddress == 0) {
            const DiscoveredDeviceList found = scanNetwork(context, routerSerial, 0);
            if (found.empty()) {
                displayPrint(display, DISPLAY_ERROR, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DiscoveredDevice& device : found)
                if (device.spec.serialNumber == serial)
                    address = device.networkAddress;
            if (address == 0) {
                displayPrint(display, DISPLAY_ERROR,
                             "Module address required for indirect firmware update, could not "
                             "find serial number [0x%08X] on network",
                             serial);
                return false;
            }
            module.setModuleAddress(static_cast<uint8_t>(address));
        }
        auto router = std::make_unique<Module>(0, static_cast<uint8_t>(0));
        if ((err = setLocalLinkConfig(context, *router)) != aErrNone)
            return fail(err);
        err = router->connect(USB, routerSerial);
        if (err == aErrNotFound)
            err = router->connect(TCPIP, routerSerial);
        if (err != aErrNone) {
            displayPrint(display, DISPLAY_ERROR, "Failed to connect to link module [%08X]",
                         routerSerial);
            return false;
        }
        if ((err = module.connectThroughLinkModule(router.get())) != aErrNone) {
            displayPrint(display, DISPLAY_ERROR, "Failed to connect to module [%08X]", serial);
            return fail(err);
        }
    } else {
        err = module.connect(USB, serial);
        if (err == aErrNotFound || err == aErrPermission) {
            const aErr overUsb = err;
            reachedBy = TCPIP;
            err = module.connect(TCPIP, serial);
            if (err == aErrNotFound)
                err = overUsb;
        }
        if (err != aErrNone) {
            displayPrint(display, DISPLAY_ERROR, "Failed to connect to module [%08X]", serial);
            showPermissionHint(display, err);
            return fail(err);
        }
    }

    if (!override && !UpdateFirmware(display, bird, module, serial)) {
        displayPrint(display, DISPLAY_ERROR, "Birdfile failed validation");
        return false;
    }
    if ((err = _transfer_loader(display, module, bird)) != aErrNone)
        return fail(err);

    if (routerSerial == 0) {
        waitForLoaderRestart(module);
        if (!module.isConnected() && !reconnectModule(module, reachedBy, serial, kAfterLoader))
            displayPrint(display, DISPLAY_ERROR,
                         "Could not reconnect to module [%08X] after starting its loader", serial);
    }

    if ((err = _transfer_firmware(display, module, bird, routerSerial != 0, context.useUeiBytes)) !=
        aErrNone)
        return fail(err);
    entry.attributes.set("LATEST_TRANSFER",
                         birdFile.empty() ? std::to_string(build) + ".bird" : birdFile);
    entry.attributes.set("LAST_TRANSFER_DATE", attributeTimeNow());
    entry.attributes.write();
    Debug_Print(DEBUG_Updater, "Updating device firmware: \n");
    displayPrint(display, DISPLAY_INFO, "Update time: %.4f sec",
                 (aTime_GetMSTicks() - start) / 1000.0);
    confirmNewFirmware(context, module, serial, routerSerial != 0, reachedBy, build, bird);
    return true;
}
