// The serial recovery command (-U -t RECOVER): identifies the chip, asks the update server which
// module and build it belongs to, and writes the firmware through the chip's boot loader.
#include "Debug.h"
#include "FormattedText.h"
#include "Interruption.h"
#include "LoadBird.h"
#include "ModuleAccess.h"
#include "Recovery.h"
#include "RecoveryAdvice.h"
#include "ServerCommClass.h"
#include "UpdaterCommands.h"

#include <corvane/aTime.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

void showStoppedRecovery(UpdaterDisplayInterface& display, const std::string& state,
                         const std::string& rerun) {
    displayPrint(display, DISPLAY_ERROR, "Recovery stopped by the interrupt: %s", state.c_str());
    if (!rerun.empty()) {
        displayPrint(display, DISPLAY_ERROR, "To write the firmware, run:");
        displayPrint(display, DISPLAY_ERROR, "  %s", rerun.c_str());
    }
}

bool recoverCommand(UpdaterContext& context, const RecoverRequest& request) {
    return recoverFirmware(context, request.serialPort, request.build, request.baudRate,
                           request.serial, request.birdFile, request.override);
}

bool recoverFirmware(UpdaterContext& context, const std::string& port, uint32_t build,
                     uint32_t baudRate, uint32_t serial, const std::string& birdPath,
                     bool override) {
    (void) override; // a recovery image is not checked against a module: there is none to ask
    if (port.empty()) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Must specify the serial port used for connecting");
        return false;
    }
    // Each step ends before the next begins; after an interrupt none begins.
    const auto interrupted = [&context] {
        if (!interruption::requested())
            return false;
        context.failure.note(FailureKind::Interrupted);
        return true;
    };
    if (interrupted())
        return false;
    const uint32_t start = aTime_GetMSTicks();
    ChipIdentifier identifier{};
    if (!getFingerprint(context, port, serial, birdPath, kNxpIdentifyBaud, false, identifier)) {
        if (interrupted())
            return false;
        displayPrint(context.display, DISPLAY_ERROR, "Could not get Device Identifier");
        return false;
    }
    uint32_t recoveryBuild = 0;
    if (birdPath.empty()) {
        if (!context.run.server.GetRecoveryInfo(identifier, serial, recoveryBuild,
                                                context.run.serverUrl)) {
            displayPrint(context.display, DISPLAY_ERROR,
                         "Failed to retrieve recovery information from Quendra server");
            return false;
        }
        if (build != 0) {
            recoveryBuild = build;
        }
    }
    BirdFile image;
    try {
        image = load_bird(context, "Recovering", birdPath, serial, recoveryBuild, true);
    } catch (const std::exception& e) {
        Debug_Print(DEBUG_Updater, "load_bird: %s\n", e.what());
        displayPrint(context.display, DISPLAY_ERROR, "Failed to load bird file");
        return false;
    }
    if (image.hasOffsets()) {
        displayPrint(context.display, DISPLAY_ERROR, "Updater does not support offline recovery");
        return false;
    }
    if (interrupted())
        return false;
    // What writes the image again when this run is cut off.
    const std::string rerun = recoveryCommand(serial, port, context.run, birdPath, build);
    bool ok = false;
    switch (context.recoveryChip) {
    case RECOVERY_CHIP_IMX_SDP:
        ok = imxRecoverFirmware(context.display, image, serial, context.run.useUeiBytes, rerun);
        break;
    case RECOVERY_CHIP_NXP_ISP:
        ok = nxpFlashFirmware(context.display, image, port, baudRate, rerun);
        break;
    default: displayPrint(context.display, DISPLAY_ERROR, "Unknown device"); break;
    }
    if (!ok)
        interrupted();
    displayPrint(context.display, DISPLAY_INFO, "Update time: %.4f sec",
                 (aTime_GetMSTicks() - start) / 1000.0);
    return ok;
}

bool imxRecoverFirmware(UpdaterDisplayInterface& display, const BirdFile& image, uint32_t serial,
                        bool useUeiBytes, const std::string& rerun) {
    const std::vector<BirdBlock> firmware = image.blocksOfType(BIRD_BLOCK_FIRMWARE);
    if (std::none_of(firmware.begin(), firmware.end(),
                     [](const BirdBlock& block) { return block.length > 4; })) {
        // The liveloader would erase the module's firmware for nothing.
        displayPrint(display, DISPLAY_ERROR,
                     "Recovery refused: the image %s holds no firmware to write",
                     image.filename().c_str());
        return false;
    }
    Corvane::Module module(0, static_cast<uint8_t>(0));
    if (setLocalLinkConfig(display, module) != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Failed to transfer firmware");
        return false;
    }
    if (!connectLiveloader(display, module, serial)) {
        displayPrint(display, DISPLAY_ERROR, "Could not connect to device");
        return false;
    }
    // The liveloader writes the flash as a module's loader does: once begun, it finishes.
    char subject[9];
    snprintf(subject, sizeof subject, "%08X", serial != 0 ? serial : kPlaceholderSerial);
    interruption::CriticalWork transfer(interruption::CriticalWork::Kind::ModuleTransfer, subject);
    transfer.leaves(std::string("The liveloader of module [") + subject +
                        "] runs from RAM and its firmware transfer was cut off",
                    {"To write the firmware again through its boot ROM, run:", "  " + rerun});
    if (!transfer.begin()) {
        showStoppedRecovery(
            display, "the liveloader runs from RAM and no firmware was written to the module",
            rerun);
        return false;
    }
    const aErr err = _transfer_firmware(display, module, image, false, useUeiBytes);
    if (err != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Failed to transfer firmware [%d, %s]", err,
                     aError_GetErrorText(err));
        return false;
    }
    return true;
}
