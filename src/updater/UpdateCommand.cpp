// The update command (-U): picks a BIRD image, connects to the module (directly or through a
// router), checks the image against it, runs the loader and firmware phases of the link upgrade
// protocol, records the transfer and confirms the module runs the new firmware. updateCommand at
// the end reads as that list; each step is one function above it.
#include "BuildText.h"
#include "Debug.h"
#include "FormattedText.h"
#include "Interruption.h"
#include "LoadBird.h"
#include "ModuleAccess.h"
#include "PermissionHint.h"
#include "RecoveryAdvice.h"
#include "Retrieval.h"
#include "StoreAccess.h"
#include "StoreLayout.h"
#include "UpdaterCommands.h"

#include "corvane/SystemClass.h"
#include "corvane/aFile.h"
#include "corvane/aTime.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>

using Corvane::Module;

namespace {

// A module re-enumerates right after answering LOAD; this long its old link may still look up.
constexpr uint32_t kLoaderDropPolls = 40;
constexpr uint32_t kLoaderDropPollMs = 25;

struct ReconnectPace {
    uint32_t attempts;
    uint32_t pauseMs;
    uint32_t budgetMs; // no new attempt starts once this much time has passed
    const char* label; // of the spinner that shows the wait
};
// After the loader starts: 15 attempts a second apart.
constexpr ReconnectPace kAfterLoader{15, 1000, UINT32_MAX, "Starting Loader"};
// After the reboot: asked more often, as a reboot is usually quick, for as long as the context
// says (15 s unless a test shortens it). Bounded by time, since a discovery over TCP/IP listens
// for seconds per attempt.
ReconnectPace afterReboot(const UpdaterContext& context) {
    return {150, 100, context.run.restartWaits.comeBackMs, "Verifying Update"};
}
// After a failed firmware phase, a module that dropped its link is looked for this often, to say
// whether it still answers as its loader.
constexpr ReconnectPace kLookAgain{3, 1000, UINT32_MAX, "Looking for the module"};
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
bool reconnectModule(UpdaterDisplayInterface& display, Module& module, linkType type,
                     uint32_t serial, const ReconnectPace& pace) {
    module.disconnect();
    const uint32_t start = aTime_GetMSTicks();
    bool reached = false;
    for (uint32_t attempt = 1; attempt <= pace.attempts && !reached; ++attempt) {
        display.spinner(true, pace.label);
        if (attempt % 3 == 0 && type == USB)
            Debug_Print(DEBUG_APP,
                        "Failed enumeration after 3 tries, refreshing libusb context.\n");
        module.discoverAndConnect(type, serial);
        reached = module.isConnected();
        if (!reached && !pauseBeforeNext(pace, start))
            break;
    }
    display.spinner(false, pace.label);
    return reached;
}

void waitForLoaderRestart(Module& module) {
    for (uint32_t poll = 0; poll < kLoaderDropPolls && module.isConnected(); ++poll)
        aTime_MSSleep(kLoaderDropPollMs);
}

// Who a module says it is and what it runs: before the update, and once it is back after the
// reboot.
struct RunningFirmware {
    uint32_t serial = 0; // 0 when the module does not say
    uint32_t build = 0;
    FirmwareVersion version;
    char versionText[32] = "";
    aErr versionErr = aErrNotFound;
    bool reported() const { return build != 0 && versionErr == aErrNone; }
    bool answered() const { return serial != 0 || build != 0 || versionErr == aErrNone; }
    bool sameAs(const RunningFirmware& other) const {
        return reported() && other.reported() && build == other.build && version == other.version;
    }
};

RunningFirmware readRunningFirmware(Module& module) {
    RunningFirmware running;
    Corvane::SystemClass system;
    system.init(&module, 0);
    system.getSerialNumber(&running.serial); // stays 0 when the module does not say
    module.getBuild(&running.build);         // likewise
    DiscoveredDevice device;
    running.versionErr = readVersion(module, device);
    running.version = {device.versionMajor, device.versionMinor, device.versionPatch};
    snprintf(running.versionText, sizeof running.versionText, "%d.%d.%u", device.versionMajor,
             device.versionMinor, device.versionPatch);
    return running;
}

// An image given by path names no build; its version says what it is, read as a version (the
// image's "2.11.04" is the module's 2.11.4).
bool runsImage(const RunningFirmware& running, uint32_t build, const BirdFile& bird) {
    if (!running.reported())
        return false;
    if (build != 0)
        return running.build == build;
    const std::optional<FirmwareVersion> imageVersion = parseFirmwareVersion(bird.version());
    return imageVersion && *imageVersion == running.version;
}

// A module behind a router restarts on the bus while the router's link stays up, and may answer
// for its old firmware for a moment after the reboot request: it is asked until it runs the
// image, for at most kBusSettleMs after its first full answer.
RunningFirmware awaitBusModule(UpdaterContext& context, Module& module, uint32_t build,
                               const BirdFile& bird) {
    const ReconnectPace pace = afterReboot(context);
    const uint32_t start = aTime_GetMSTicks();
    std::optional<uint32_t> firstAnswer;
    RunningFirmware running;
    for (uint32_t attempt = 1; attempt <= pace.attempts && module.isConnected(); ++attempt) {
        context.display.spinner(true, pace.label);
        running = readRunningFirmware(module);
        if (runsImage(running, build, bird))
            break;
        if (running.reported() && !firstAnswer)
            firstAnswer = aTime_GetMSTicks();
        if (firstAnswer && aTime_GetMSTicks() - *firstAnswer >= kBusSettleMs)
            break;
        if (!pauseBeforeNext(pace, start))
            break;
    }
    context.display.spinner(false, pace.label);
    return running;
}

// Ends the flow after a failure on the link or in the module, once its message (if any) is shown:
// the trace that names the error.
bool reportFailedTransfer(aErr err) {
    Debug_Print(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    return false;
}

// Notes why the update failed, for the machine-readable report; the first note is the cause.
bool noteFailure(UpdaterContext& context, FailureKind kind, aErr err = aErrNone) {
    context.failure.note(kind, err);
    return false;
}

FirmwareSeen seen(const RunningFirmware& running) {
    if (!running.reported())
        return {};
    return {true, running.build, running.version.major, running.version.minor,
            running.version.patch};
}

// The module's entry in the store when it has one; an update creates it only to record a
// result. False, with the error shown, when the store cannot be opened.
bool findDeviceEntry(UpdaterContext& context, uint32_t serial, std::optional<StoreEntry>& entry) {
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "Update_Firmware");
    if (!store)
        return noteFailure(context, FailureKind::Store);
    if (StoreEntry found; store->findDevice(serial, &found))
        entry = std::move(found);
    return true;
}

bool holdsBuild(const StoreEntry& entry, uint32_t build) {
    try {
        BirdFile probe;
        entry.loadBird(buildFileName(build), probe);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// With neither a path nor a build asked for: the server's latest build when the store holds it,
// else the latest download, else the latest transfer. nullopt, with the error shown, when none of
// them names a build.
std::optional<uint32_t> chooseBuild(UpdaterContext& context, std::optional<StoreEntry>& entry,
                                    uint32_t serial) {
    UpdaterDisplayInterface& display = context.display;
    std::string latest, firmwareId;
    context.run.server.QueryBuild(serial, latest, firmwareId, context.run.serverUrl);
    const uint32_t build = latestBuildNumber(latest);
    if (build != 0) {
        if (entry && holdsBuild(*entry, build))
            return build;
        displayPrint(display, DISPLAY_INFO,
                     "New firmware is available.  Updater will proceed if valid firmware is "
                     "found locally.");
    }
    AttributeFile none;
    AttributeFile& attributes = entry ? entry->attributes : none;
    if (const int latestDownload = attributes.getInt("LATEST_DOWNLOAD", 0); latestDownload > 0) {
        displayPrint(display, DISPLAY_INFO, "Updating with the Latest Download");
        return static_cast<uint32_t>(latestDownload);
    }
    if (const int latestTransfer = attributes.getInt("LATEST_TRANSFER", 0); latestTransfer > 0) {
        displayPrint(display, DISPLAY_INFO, "Updating with the Latest Transfer");
        return static_cast<uint32_t>(latestTransfer);
    }
    attributes.getString("LAST_TRANSFER_VERSION");
    displayPrint(display, DISPLAY_ERROR, "Could not find valid build for this device.");
    noteFailure(context, FailureKind::NoBuild);
    return std::nullopt;
}

// The image to install (the request's path, else the build from the store), with the module's
// serial number written into it when the image has a place for it. False, with the error shown,
// when there is no such image.
bool loadImage(UpdaterContext& context, const UpdateRequest& request, uint32_t build,
               BirdFile& bird) {
    try {
        bird = load_bird(context, "Updating", request.birdFile, request.serial, build, false);
    } catch (const std::exception&) {
        displayPrint(context.display, DISPLAY_ERROR, "Failed to load bird file");
        // A build is looked up in the store; a path names a file, which may not be there.
        return noteFailure(context, request.birdFile.empty() ? FailureKind::NoBuild
                                    : aFile_Exists(request.birdFile.c_str())
                                        ? FailureKind::NotBirdFile
                                        : FailureKind::NotFound);
    }
    if (!bird.hasOffsets())
        return true;
    Debug_Print(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird.updateSerialNumber(request.serial)) {
        Debug_Print(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
        displayPrint(context.display, DISPLAY_ERROR,
                     "Unable to write the serial number into the firmware image");
        return noteFailure(context, FailureKind::NotBirdFile);
    }
    Debug_Print(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return true;
}

// The module's address on the router's bus, from a network scan; 0, with the error shown, when
// the scan does not find it.
uint16_t findBusAddress(UpdaterContext& context, const UpdateRequest& request) {
    const DiscoveredDeviceList found = scanNetwork(context, request.routerSerial, 0);
    if (found.empty()) {
        displayPrint(context.display, DISPLAY_ERROR, "Unable to find modules on Network");
        noteFailure(context, FailureKind::NotFound, aErrNotFound);
        return 0;
    }
    uint16_t address = 0;
    for (const DiscoveredDevice& device : found)
        if (device.spec.serialNumber == request.serial)
            address = device.networkAddress;
    if (address == 0) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Module address required for indirect firmware update, could not find serial "
                     "number [0x%08X] on network",
                     request.serial);
        noteFailure(context, FailureKind::NotFound, aErrNotFound);
    }
    context.updateReport.busAddress = address;
    return address;
}

// Reaches the module through its router's link; the router's own Module lives only for this.
bool connectThroughRouter(UpdaterContext& context, const UpdateRequest& request, Module& module) {
    if (request.moduleAddress == 0) {
        const uint16_t address = findBusAddress(context, request);
        if (address == 0)
            return false;
        module.setModuleAddress(static_cast<uint8_t>(address));
    }
    Module router(0, static_cast<uint8_t>(0));
    aErr err = setLocalLinkConfig(context, router);
    if (err != aErrNone) {
        noteFailure(context, FailureKind::Failed, err);
        return reportFailedTransfer(err);
    }
    err = router.connect(USB, request.routerSerial);
    if (err == aErrNotFound)
        err = router.connect(TCPIP, request.routerSerial);
    if (err != aErrNone) {
        displayPrint(context.display, DISPLAY_ERROR, "Failed to connect to link module [%08X]",
                     request.routerSerial);
        return noteFailure(context, reachFailureKind(err), err);
    }
    if ((err = module.connectThroughLinkModule(&router)) != aErrNone) {
        displayPrint(context.display, DISPLAY_ERROR, "Failed to connect to module [%08X]",
                     request.serial);
        noteFailure(context, reachFailureKind(err), err);
        return reportFailedTransfer(err);
    }
    context.updateReport.transport = "router";
    return true;
}

// Reaches the module over USB, else over TCP/IP; reachedBy says which.
bool connectDirectly(UpdaterContext& context, uint32_t serial, Module& module,
                     linkType& reachedBy) {
    aErr err = module.connect(USB, serial);
    if (err == aErrNotFound || err == aErrPermission) {
        // A module USB refuses for want of permission may answer over TCP/IP; if it does not,
        // the permission problem is the one to report.
        const aErr overUsb = err;
        reachedBy = TCPIP;
        err = module.connect(TCPIP, serial);
        if (err == aErrNotFound)
            err = overUsb;
    }
    if (err != aErrNone) {
        displayPrint(context.display, DISPLAY_ERROR, "Failed to connect to module [%08X]", serial);
        showPermissionHint(context.display, err);
        noteFailure(context, reachFailureKind(err), err);
        return reportFailedTransfer(err);
    }
    context.updateReport.transport = reachedBy == TCPIP ? "TCPIP" : "USB";
    linkSpec spec{};
    if (module.getLinkSpecifier(&spec) == aErrNone) {
        context.updateReport.modelName = aDefs_GetModelName(static_cast<uint8_t>(spec.model));
    }
    return true;
}

// Sets the updater's own link configuration and reaches the module, through its router when the
// request names one. False, with the error shown, when it cannot be reached.
bool connectToModule(UpdaterContext& context, const UpdateRequest& request, Module& module,
                     linkType& reachedBy) {
    if (const aErr err = setLocalLinkConfig(context, module); err != aErrNone) {
        noteFailure(context, FailureKind::Failed, err);
        return reportFailedTransfer(err);
    }
    return request.routerSerial != 0 ? connectThroughRouter(context, request, module)
                                     : connectDirectly(context, request.serial, module, reachedBy);
}

// After the loader phase a directly reached module restarts into its loader and must be reached
// again. False, with the error shown, when it cannot be: the firmware phase has no reconnect of
// its own and would only fail on the missing link.
bool reconnectToLoader(UpdaterContext& context, Module& module, linkType reachedBy,
                       uint32_t serial) {
    waitForLoaderRestart(module);
    if (module.isConnected() ||
        reconnectModule(context.display, module, reachedBy, serial, kAfterLoader))
        return true;
    displayPrint(context.display, DISPLAY_ERROR,
                 "Could not reconnect to module [%08X] after starting its loader", serial);
    return false;
}

// Past the loader phase a failed update may leave the module without firmware that runs: says
// in which state, and keeps the command that recovers it for the report.
void adviseRecovery(UpdaterContext& context, const UpdateRequest& request, ModuleLeft state) {
    context.failure.recoveryCommand = showRecoveryAdvice(
        context.display, request.serial, state,
        recoveryPort(request.serialPort, context.run.deviceDirectory), context.run);
}

// Whether a module whose firmware phase failed still answers. Its loader took the place of its
// firmware; a module reached directly that dropped its link is looked for once more.
ModuleLeft stateAfterFailedFirmware(UpdaterContext& context, const UpdateRequest& request,
                                    Module& module, linkType reachedBy, bool imageTransferred) {
    if (module.isConnected())
        return imageTransferred ? ModuleLeft::NotRestarted : ModuleLeft::InLoader;
    if (request.routerSerial == 0 &&
        reconnectModule(context.display, module, reachedBy, request.serial, kLookAgain))
        return ModuleLeft::InLoader;
    return ModuleLeft::Silent;
}

// Checks the image against the module (unless overridden), then the loader phase, the module's
// restart into its loader and the firmware phase. False when any of them fails, with the
// recovery command noted when the failure came after the loader started.
bool install(UpdaterContext& context, const UpdateRequest& request, Module& module,
             const BirdFile& bird, linkType reachedBy, interruption::CriticalWork& transfer) {
    UpdaterDisplayInterface& display = context.display;
    if (interruption::requested())
        return noteFailure(context, FailureKind::Interrupted);
    if (!request.override && !UpdateFirmware(display, bird, module, request.serial)) {
        displayPrint(display, DISPLAY_ERROR, "Birdfile failed validation");
        return noteFailure(context, FailureKind::ValidationFailed);
    }
    // A time-out on a link that is still up is the module's silence; a lost link, or anything
    // else, is the transfer going wrong.
    const auto transferFailure = [&module](aErr err) {
        return err == aErrTimeout && module.isConnected() ? FailureKind::Timeout
                                                          : FailureKind::TransferFailed;
    };
    if (const aErr err = _transfer_loader(display, module, bird, &transfer); err != aErrNone) {
        // Stopped before the loader started: the module runs its firmware as before.
        if (!transfer.begun() && interruption::requested())
            return noteFailure(context, FailureKind::Interrupted);
        noteFailure(context, transferFailure(err), err);
        return reportFailedTransfer(err);
    }
    // Behind a router the module restarts on the bus and the router's link stays up.
    if (request.routerSerial == 0 &&
        !reconnectToLoader(context, module, reachedBy, request.serial)) {
        noteFailure(context, FailureKind::DidNotComeBack, aErrConnection);
        adviseRecovery(context, request, ModuleLeft::Silent);
        return reportFailedTransfer(aErrConnection);
    }
    bool imageTransferred = false;
    if (const aErr err = _transfer_firmware(display, module, bird, request.routerSerial != 0,
                                            context.run.useUeiBytes,
                                            context.run.restartWaits.linkDropMs, &imageTransferred);
        err != aErrNone) {
        noteFailure(context, transferFailure(err), err);
        adviseRecovery(
            context, request,
            stateAfterFailedFirmware(context, request, module, reachedBy, imageTransferred));
        return reportFailedTransfer(err);
    }
    transfer.leaves(
        formatted("Module [%08X] took its whole new firmware and was restarting into it",
                  request.serial),
        {"Updater -D shows whether it came back; to install the image again, run:",
         "  " + updateCommandLine(request.serial, request.birdFile, context.updateReport.imageBuild,
                                  request.routerSerial, context.run)});
    return true;
}

// What was installed and when, in the module's attribute file; the module's entry is made now if
// it had none. False, with the error shown, when the store cannot take it.
bool recordTransfer(UpdaterContext& context, const UpdateRequest& request, uint32_t build) {
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "Update_Firmware");
    if (!store)
        return noteFailure(context, FailureKind::Store);
    try {
        StoreEntry entry = store->deviceEntry(request.serial);
        entry.attributes.set("LATEST_TRANSFER",
                             request.birdFile.empty() ? buildFileName(build) : request.birdFile);
        entry.attributes.set("LAST_TRANSFER_DATE", attributeTimeNow());
        entry.attributes.write();
        return true;
    } catch (const std::exception& e) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "The transfer could not be recorded in the store: %s", e.what());
        return noteFailure(context, FailureKind::Store);
    }
}

// The read-back's word on an update: whether the image took, and the line that says so.
struct Verdict {
    bool took = false;
    std::string line;
    FailureKind failure = FailureKind::WrongFirmware; // when it did not take
    bool silent = false;                              // the module did not answer after its restart
};

// Waits for the module to restart after the reboot, reaches it again and reads back who it is and
// what it runs. The image took only when the same module came back running it; one that did not
// come back, came back as another module or still runs what it ran before did not take it.
Verdict confirmNewFirmware(UpdaterContext& context, const UpdateRequest& request, Module& module,
                           linkType reachedBy, uint32_t build, const BirdFile& bird,
                           const RunningFirmware& before) {
    const uint32_t serial = request.serial;
    RunningFirmware running;
    bool reached = false;
    if (request.routerSerial != 0) {
        running = awaitBusModule(context, module, build, bird);
        reached = running.answered();
    } else if ((reached = reconnectModule(context.display, module, reachedBy, serial,
                                          afterReboot(context)))) {
        running = readRunningFirmware(module);
    }
    module.disconnect();
    context.updateReport.after = seen(running);
    if (!reached)
        return {false, formatted("Module [%08X] did not come back after the update", serial),
                FailureKind::DidNotComeBack, true};
    if (running.serial != 0 && running.serial != serial)
        return {false, formatted("Module [%08X] came back reporting serial number [%08X]", serial,
                                 running.serial)};
    // The restart was seen and the module is the one updated; that it cannot say what it runs
    // does not show the image failed.
    if (!running.reported())
        return {true, formatted("Module [%08X] came back but did not report its firmware (%d)",
                                serial, running.versionErr)};
    if (runsImage(running, build, bird))
        return {true, formatted("Module [%08X] now runs the new firmware: version %s, build %u",
                                serial, running.versionText, running.build)};
    if (running.sameAs(before))
        return {false, formatted("Module [%08X] still runs its old firmware: version %s, build %u",
                                 serial, running.versionText, running.build)};
    return {false, formatted("Module [%08X] runs version %s, build %u, not the image's firmware",
                             serial, running.versionText, running.build)};
}

} // namespace

bool updateCommand(UpdaterContext& context, const UpdateRequest& request) {
    context.failure.recoveryCommand.clear();
    const uint32_t serial = request.serial;
    if (serial == 0) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Update command must specify the specific device");
        return noteFailure(context, FailureKind::Usage);
    }
    UpdateReport& report = context.updateReport;
    report = {};
    if (interruption::requested())
        return noteFailure(context, FailureKind::Interrupted);
    report.imagePath = request.birdFile;
    std::optional<StoreEntry> entry;
    if (!findDeviceEntry(context, serial, entry))
        return false;
    const uint32_t start = aTime_GetMSTicks();

    uint32_t build = request.build;
    if (request.birdFile.empty() && build == 0) {
        const std::optional<uint32_t> chosen = chooseBuild(context, entry, serial);
        if (!chosen)
            return false;
        build = *chosen;
    }
    BirdFile bird;
    if (!loadImage(context, request, build, bird))
        return false;
    report.imageBuild = build;
    report.imageVersion = bird.version();
    if (report.imagePath.empty())
        report.imagePath = bird.filename();
    Module module(request.moduleAddress, static_cast<uint8_t>(0));
    linkType reachedBy = USB;
    if (!connectToModule(context, request, module, reachedBy))
        return false;
    const RunningFirmware before = readRunningFirmware(module);
    report.before = seen(before);
    // From its loader's start the module must not be left: an interrupt then waits for the end.
    interruption::CriticalWork transfer(interruption::CriticalWork::Kind::ModuleTransfer,
                                        formatted("%08X", serial));
    transfer.leaves(
        moduleLeftLine(serial, ModuleLeft::InLoader) + ": its firmware transfer was cut off",
        {"To finish the update, run:",
         "  " +
             updateCommandLine(serial, request.birdFile, build, request.routerSerial, context.run),
         "If it does not take the image, recover it through its boot ROM:",
         "  " + recoveryCommand(serial,
                                recoveryPort(request.serialPort, context.run.deviceDirectory),
                                context.run)});
    if (!install(context, request, module, bird, reachedBy, transfer))
        return false;
    const uint32_t transferMs = aTime_GetMSTicks() - start;
    report.transferMs = transferMs;
    const Verdict verdict =
        confirmNewFirmware(context, request, module, reachedBy, build, bird, before);
    report.totalMs = aTime_GetMSTicks() - start;
    report.verdict = verdict.line;
    if (!verdict.took) {
        displayPrint(context.display, DISPLAY_ERROR, "%s", verdict.line.c_str());
        if (verdict.silent)
            adviseRecovery(context, request, ModuleLeft::Silent);
        return noteFailure(context, verdict.failure);
    }
    const bool recorded = recordTransfer(context, request, build);
    Debug_Print(DEBUG_Updater, "Updating device firmware: \n");
    displayPrint(context.display, DISPLAY_INFO, "Update time: %.4f sec", transferMs / 1000.0);
    displayPrint(context.display, DISPLAY_INFO, "%s", verdict.line.c_str());
    return recorded;
}
