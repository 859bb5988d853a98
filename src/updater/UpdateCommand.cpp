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
#include "UpdaterEntity.h"
#include "corvane/I2CClass.h"
#include "corvane/SystemClass.h"

#include "corvane/aDefs.h"
#include "corvane/aError.h"
#include "corvane/aTime.h"
#include "corvane/aVersion.h"

#include <exception>
#include <memory>
#include <optional>

using Corvane::Module;

namespace {

constexpr uint32_t kFirmwareTries = 5;
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
    running.build = readBuildNumber(module);
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

bool UpdateFirmware(UpdaterDisplayInterface& display, const BirdFile& bird, Module& module,
                    uint32_t serial) {
    if (bird.blockCount() == 0 || (!bird.hasOffsets() && !bird.serialNumberMatches(serial)))
        return false;
    Debug_Print(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint32_t connected = 0;
    const aErr serialErr = system.getSerialNumber(&connected);
    if (connected != serial) {
        Debug_Print(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                    serialErr);
        return false;
    }
    uint8_t model = 0;
    const aErr modelErr = system.getModel(&model);
    const char* modelName = aDefs_GetModelName(model);
    if (!bird.modelMatches(modelName)) {
        displayPrint(display, DISPLAY_ERROR,
                     "Connected device model and Bird file model do not match [%s] (%d)", modelName,
                     modelErr);
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird) {
    UpdaterEntity updater;
    updater.init(&module, 0, true, false);
    if (const aErr err = updater.loaderInit(); err != aErrNone) {
        Debug_Print(DEBUG_Updater, "Error starting loader [%d, %s].\n", err,
                    aError_GetErrorText(err));
        displayPrint(display, DISPLAY_ERROR, "Could not begin the loader transfer [%d, %s]", err,
                     aError_GetErrorText(err));
        return err;
    }
    displayPrint(display, DISPLAY_INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = bird.blocksOfType(BIRD_BLOCK_LOADER);
    display.showProgress(true);
    aErr result = aErrNone;
    int done = 0;
    int bytes = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        displayPrint(display, DISPLAY_INFO, "Transferring loader block %d of %d, %d bytes",
                     static_cast<int>(i + 1), static_cast<int>(blocks.size()),
                     static_cast<int>(block.length));
        uint16_t chunk = 0;
        result = updater.transferPrepare(block.data, block.length, block.flags, chunk);
        if (result != aErrNone && result != aErrTimeout) {
            Debug_Print(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", result,
                        aError_GetErrorText(result));
        } else if ((result = updater.loaderTransfer(block.data, block.length)) != aErrNone) {
            Debug_Print(DEBUG_Updater, "Error loader transfer [%d, %s].\n", result,
                        aError_GetErrorText(result));
        }
        if (result != aErrNone) {
            // A loader with a block missing must never be started.
            displayPrint(display, DISPLAY_ERROR,
                         "Loader block %d failed; the loader is not started [%d, %s]",
                         static_cast<int>(i + 1), result, aError_GetErrorText(result));
            break;
        }
        ++done;
        bytes += static_cast<int>(block.length);
    }
    displayPrint(display, DISPLAY_INFO, "Transferred %d blocks, %d total bytes", done, bytes);
    display.showProgress(false);
    if (result != aErrNone)
        return result;
    displayPrint(display, DISPLAY_INFO, "Starting Load on Device");
    result = updater.loaderStart();
    if (result == aErrTimeout) {
        Debug_Print(DEBUG_Updater,
                    "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        result = aErrNone;
    } else if (result != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Error starting loader [%d, %s]", result,
                     aError_GetErrorText(result));
    }
    return result;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird,
                        bool networked, bool useUei) {
    UpdaterEntity updater;
    updater.init(&module, 0, true, networked);
    if (useUei && updater.checkUEIDataSupport() == aErrNone)
        updater.checkProtocolVersion();
    Debug_Print(DEBUG_Updater, "Transferring firmware to device %s\n", bird.filename().c_str());
    const std::vector<BirdBlock> blocks = bird.blocksOfType(BIRD_BLOCK_FIRMWARE);
    aErr err = aErrNone;
    int done = 0;
    int bytes = 0;
    for (size_t i = 0; i < blocks.size() && err == aErrNone; ++i) {
        const BirdBlock& block = blocks[i];
        for (uint32_t attempt = 0; attempt < kFirmwareTries; ++attempt) {
            displayPrint(display, DISPLAY_INFO, "Transferring firmware block %u of %u, %d bytes",
                         static_cast<unsigned>(i + 1), static_cast<unsigned>(blocks.size()),
                         static_cast<int>(block.length));
            if (attempt > 0)
                displayPrint(display, DISPLAY_INFO, "  Retry %d", static_cast<int>(attempt));
            uint16_t chunk = 0;
            err = updater.transferPrepare(block.data, block.length, block.flags, chunk);
            if (err == aErrNone && chunk == 0 && block.length > 4) {
                displayPrint(display, DISPLAY_ERROR,
                             "The module asked for chunks of 0 bytes for firmware block %u",
                             static_cast<unsigned>(i + 1));
                err = aErrSize;
            } else if (err != aErrNone) {
                displayPrint(display, DISPLAY_ERROR,
                             "The module refused firmware block %u [%d, %s]",
                             static_cast<unsigned>(i + 1), err, aError_GetErrorText(err));
            }
            if (err != aErrNone) {
                Debug_Print(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err,
                            aError_GetErrorText(err));
                Debug_Print(DEBUG_Updater, "Error firmware transfer block failed.\n");
                break;
            }
            err = updater.firmwareTransfer(block.data, block.length, chunk, display);
            if (err == aErrNone) {
                ++done;
                bytes += static_cast<int>(block.length);
                break;
            }
            Debug_Print(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err,
                        aError_GetErrorText(err));
            if (attempt + 1 == kFirmwareTries) {
                Debug_Print(DEBUG_Updater, "Error firmware transfer block failed.\n");
                displayPrint(display, DISPLAY_ERROR, "Firmware block %u failed %u times [%d, %s]",
                             static_cast<unsigned>(i + 1), kFirmwareTries, err,
                             aError_GetErrorText(err));
            }
        }
    }
    displayPrint(display, DISPLAY_INFO, "Transferred %d blocks, %d total bytes", done, bytes);
    if (err != aErrNone)
        return err;
    err = updater.loaderReboot(display);
    if (err == aErrTimeout)
        displayPrint(display, DISPLAY_ERROR, "The module did not restart after the update");
    return err;
}

bool updateCommand(UpdaterContext& context, uint32_t serial, uint32_t build,
                   const std::string& birdFile, uint8_t moduleAddress, uint32_t routerSerial,
                   bool override) {
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
