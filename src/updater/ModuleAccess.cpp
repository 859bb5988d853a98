// How the updater reaches and reads modules, shared by the discover, update and recovery flows:
// its own link configuration, the network scan behind a router, the readers of a connected module
// and the image check and two phases of the link upgrade protocol.
#include "ModuleAccess.h"

#include "Debug.h"
#include "UpdaterEntity.h"
#include "corvane/I2CClass.h"
#include "corvane/SystemClass.h"

#include "corvane/aDefs.h"
#include "corvane/aDiscovery.h"
#include "corvane/aError.h"
#include "corvane/aUEI.h"
#include "corvane/aVersion.h"

#include <algorithm>

using Corvane::Module;

namespace {

// The most of a module's name the updater takes; a longer one is cut there, visibly.
constexpr uint32_t kNameLimit = 32;
constexpr const char* kNameCut = "...";
// Whole packets of a byte-array run, so that a longer name still brings at least the limit before
// the run overflows the buffer.
constexpr uint32_t kNameBuffer =
    (kNameLimit + aUEI_BYTES_PER_PACKET - 1) / aUEI_BYTES_PER_PACKET * aUEI_BYTES_PER_PACKET;
constexpr uint32_t kFirmwareTries = 5;

struct RouterSearch {
    uint32_t serial;
    linkSpec found{};
    bool seen = false;
};

bool findRouter(const linkSpec* spec, bool* found, void* reference) {
    auto* search = static_cast<RouterSearch*>(reference);
    if (spec->serialNumber != search->serial)
        return true;
    *found = true;
    Debug_Print(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n",
                spec->serialNumber, static_cast<int>(spec->type));
    search->found = *spec;
    search->seen = true;
    return false;
}

// Reads the details of the module behind a router at a bus address; false when nothing there
// gives its serial number.
bool probeBusModule(UpdaterContext& context, Module& router, const linkSpec& routerSpec,
                    uint32_t routerSerial, int transport, uint8_t address,
                    DiscoveredDevice& device) {
    Debug_Print(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, 0);
    setLocalLinkConfig(context, module);
    if (module.connectThroughLinkModule(&router) != aErrNone)
        return false;
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Debug_Print(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    // How the router is reached (its IP address and everything after it) is how this module is
    // reached; its own address and model are what it answers below, 0 until it does.
    device.spec = routerSpec;
    device.spec.type = static_cast<linkType>(transport);
    device.spec.serialNumber = serial;
    device.spec.module = 0;
    device.spec.router = router.getModuleAddress();
    device.spec.routerSerialNumber = routerSerial;
    device.spec.model = 0;
    device.networkAddress = address;
    module.getBuild(&device.build); // stays 0 when the module does not say
    device.error = readVersion(module, device);
    uint8_t model = 0;
    if (const aErr err = system.getModel(&model); err == aErrNone) {
        device.spec.model = model;
        device.modelName = aDefs_GetModelName(model);
    } else {
        device.error = err;
    }
    module.disconnect();
    return true;
}

} // namespace

aErr setLocalLinkConfig(UpdaterContext& context, Module& module) {
    return setLocalLinkConfig(context.display, module);
}

aErr setLocalLinkConfig(UpdaterDisplayInterface& display, Module& module) {
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    config.assignedPort = 0;
    config.networkInterface = aETHERCONFIG_LOOPBACK;
    const aErr err = module.setConfig(config);
    if (err != aErrNone)
        displayPrint(display, DISPLAY_ERROR, "Failed to SET network configuration");
    return err;
}

aErr readVersion(Module& module, DiscoveredDevice& device) {
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    if (const aErr err = system.getVersion(&version); err != aErrNone)
        return err;
    device.versionMajor = aVersion_ParseMajor(version);
    device.versionMinor = aVersion_ParseMinor(version);
    device.versionPatch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    if (const aErr err = system.getModule(&address); err != aErrNone)
        return err;
    device.spec.module = address;
    if (const aErr err = system.getRouter(&address); err != aErrNone)
        return err;
    device.spec.router = address;
    return aErrNone;
}

aErr readDeviceName(Module& module, DiscoveredDevice& device) {
    if (!aVersion_IsAtLeastCompare(device.versionMajor, device.versionMinor, device.versionPatch, 2,
                                   10, 4))
        return aErrNone;
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint8_t name[kNameBuffer];
    uint32_t length = 0;
    const aErr err = system.getName(name, sizeof name, &length);
    // aErrMemory: the name went on beyond the buffer, which holds its start.
    if (err != aErrNone && err != aErrMemory)
        return err;
    const bool cut = err == aErrMemory || length > kNameLimit;
    uint32_t kept = std::min(length, kNameLimit);
    // Not inside a UTF-8 character, which has at most three continuation bytes.
    for (uint32_t back = 0; back < 3 && kept > 0 && kept < length && (name[kept] & 0xC0) == 0x80;
         ++back)
        --kept;
    device.deviceName.assign(reinterpret_cast<const char*>(name), kept);
    if (cut)
        device.deviceName += kNameCut;
    return aErrNone;
}

DiscoveredDeviceList scanNetwork(UpdaterContext& context, uint32_t routerSerial, int transport,
                                 const DiscoveryLimits& limits) {
    DiscoveredDeviceList devices;
    if (transport == 0) {
        RouterSearch search{routerSerial};
        aDiscovery_EnumerateModules(USB, findRouter, &search, aETHERCONFIG_LOOPBACK);
        if (!search.seen)
            aDiscovery_EnumerateModules(TCPIP, findRouter, &search, aETHERCONFIG_LOOPBACK);
        if (search.seen)
            transport = search.found.type;
    }
    linkSpec* found = aDiscovery_FindModule(static_cast<linkType>(transport), routerSerial,
                                            aETHERCONFIG_LOOPBACK);
    if (!found)
        return devices;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);
    Debug_Print(DEBUG_Updater, "Found Link Module");

    Module router(2, static_cast<uint8_t>(0));
    if (setLocalLinkConfig(context, router) != aErrNone)
        return devices;
    if (const aErr err = router.connectFromSpec(routerSpec); err != aErrNone) {
        displayPrint(context.display, DISPLAY_ERROR, "Error %d on connectFromSpec", err);
        return devices;
    }
    Corvane::SystemClass routerSystem;
    routerSystem.init(&router, 0);
    if (const aErr err = routerSystem.routeToMe(1); err != aErrNone) {
        displayPrint(context.display, DISPLAY_ERROR, "Error %d on route to me", err);
        router.disconnect();
        return devices;
    }
    Corvane::I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(3);
    const uint8_t probe[2] = {0, 0};
    const auto started = limits.clock();
    uint32_t silent = 0;
    for (unsigned address = 2; address <= 252; address += 2) {
        if (address == router.getModuleAddress())
            continue;
        if (silent >= limits.maxSilentAddresses) {
            displayPrint(context.display, DISPLAY_ERROR,
                         "Network scan stopped before bus address 0x%02X: %u addresses took the "
                         "probe but did not answer as modules",
                         address, silent);
            break;
        }
        if (limits.clock() - started >= limits.readBudget) {
            displayPrint(
                context.display, DISPLAY_ERROR,
                "Network scan stopped before bus address 0x%02X: it took longer than %lld s",
                address,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(limits.readBudget).count()));
            break;
        }
        Debug_Print(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
            continue;
        DiscoveredDevice device;
        if (probeBusModule(context, router, routerSpec, routerSerial, transport,
                           static_cast<uint8_t>(address), device))
            devices.push_back(std::move(device));
        else
            ++silent;
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}

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

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird,
                      interruption::CriticalWork* startingLoader) {
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
        if (interruption::requested()) {
            result = aErrCancel;
            break;
        }
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
            if (!module.isConnected())
                displayPrint(display, DISPLAY_ERROR,
                             "The link to the module was lost in loader block %d of %d; the "
                             "loader is not started",
                             static_cast<int>(i + 1), static_cast<int>(blocks.size()));
            else
                displayPrint(display, DISPLAY_ERROR,
                             "Loader block %d failed: %s; the loader is not started [%d, %s]",
                             static_cast<int>(i + 1), updater.lastFailure().c_str(), result,
                             aError_GetErrorText(result));
            break;
        }
        ++done;
        bytes += static_cast<int>(block.length);
    }
    displayPrint(display, DISPLAY_INFO, "Transferred %d blocks, %d total bytes", done, bytes);
    display.showProgress(false);
    if (result != aErrNone)
        return result;
    // The point of no return: once the loader starts, the module has no firmware that runs until
    // the transfer ends.
    if (startingLoader && !startingLoader->begin())
        return aErrCancel;
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
                        bool networked, bool useUei, uint32_t linkDropMs, bool* imageTransferred) {
    if (imageTransferred)
        *imageTransferred = false;
    UpdaterEntity updater;
    updater.init(&module, 0, true, networked);
    UpgradeTiming timing;
    timing.rebootPolls = std::max<uint32_t>(1, linkDropMs / timing.rebootPollMs);
    updater.setTiming(timing);
    if (useUei && updater.checkUEIDataSupport() == aErrNone)
        updater.checkProtocolVersion();
    Debug_Print(DEBUG_Updater, "Transferring firmware to device %s\n", bird.filename().c_str());
    const std::vector<BirdBlock> blocks = bird.blocksOfType(BIRD_BLOCK_FIRMWARE);
    aErr err = aErrNone;
    int done = 0;
    int bytes = 0;
    for (size_t i = 0; i < blocks.size() && err == aErrNone; ++i) {
        const BirdBlock& block = blocks[i];
        const auto number = static_cast<unsigned>(i + 1);
        // Retries cannot help once the module is gone; where it went is what the user needs.
        auto linkLost = [&](uint32_t written) {
            if (module.isConnected())
                return false;
            displayPrint(display, DISPLAY_ERROR,
                         "The link to the module was lost in firmware block %u of %u (%u of %u "
                         "bytes written)",
                         number, static_cast<unsigned>(blocks.size()), written,
                         static_cast<unsigned>(block.length > 4 ? block.length - 4 : 0));
            return true;
        };
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
                             number);
                err = aErrSize;
            } else if (err != aErrNone && !linkLost(0)) {
                if (err == aErrInvalidOption)
                    displayPrint(display, DISPLAY_ERROR,
                                 "The module refused firmware block %u [%d, %s]", number, err,
                                 aError_GetErrorText(err));
                else
                    displayPrint(display, DISPLAY_ERROR,
                                 "Could not prepare firmware block %u: %s [%d, %s]", number,
                                 updater.lastFailure().c_str(), err, aError_GetErrorText(err));
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
            if (linkLost(updater.bytesWritten())) {
                Debug_Print(DEBUG_Updater, "Error firmware transfer block failed.\n");
                break;
            }
            if (attempt + 1 == kFirmwareTries) {
                Debug_Print(DEBUG_Updater, "Error firmware transfer block failed.\n");
                displayPrint(display, DISPLAY_ERROR,
                             "Firmware block %u failed %u times: %s [%d, %s]", number,
                             kFirmwareTries, updater.lastFailure().c_str(), err,
                             aError_GetErrorText(err));
            }
        }
    }
    displayPrint(display, DISPLAY_INFO, "Transferred %d blocks, %d total bytes", done, bytes);
    if (err != aErrNone)
        return err;
    if (imageTransferred)
        *imageTransferred = true;
    err = updater.loaderReboot(display);
    // The image is complete in the module by now: a user told only that the update failed may
    // cut its power while it still writes the image.
    if (err == aErrTimeout)
        displayPrint(display, DISPLAY_ERROR,
                     "The firmware image was transferred, but the module's restart was not seen "
                     "within %u s",
                     (timing.rebootPolls * timing.rebootPollMs + 999) / 1000);
    else if (err != aErrNone)
        displayPrint(display, DISPLAY_ERROR,
                     "The firmware image was transferred, but the reboot request could not be "
                     "sent [%d, %s]",
                     err, aError_GetErrorText(err));
    return err;
}
