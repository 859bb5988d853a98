// The serial recovery command (-U -t RECOVER): identifies the chip, asks the update server which
// module and build it belongs to, and writes the firmware through the chip's boot loader.
#include "Debug.h"
#include "LoadBird.h"
#include "ModuleAccess.h"
#include "NxpIspClient.h"
#include "Recovery.h"
#include "ServerCommClass.h"
#include "UpdaterCommands.h"

#include <corvane/aTime.h>

#include <algorithm>
#include <exception>
#include <vector>

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
    const uint32_t start = aTime_GetMSTicks();
    ChipIdentifier identifier{};
    if (!getFingerprint(context, port, serial, birdPath, 115200, false, identifier)) {
        displayPrint(context.display, DISPLAY_ERROR, "Could not get Device Identifier");
        return false;
    }
    uint32_t recoveryBuild = 0;
    if (birdPath.empty()) {
        if (!context.server.GetRecoveryInfo(identifier, serial, recoveryBuild, context.serverUrl)) {
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
    bool ok = false;
    switch (context.recoveryChip) {
    case RECOVERY_CHIP_IMX_SDP:
        ok = imxRecoverFirmware(context.display, image, serial, context.useUeiBytes);
        break;
    case RECOVERY_CHIP_NXP_ISP:
        ok = nxpFlashFirmware(context.display, image, port, baudRate);
        break;
    default: displayPrint(context.display, DISPLAY_ERROR, "Unknown device"); break;
    }
    displayPrint(context.display, DISPLAY_INFO, "Update time: %.4f sec",
                 (aTime_GetMSTicks() - start) / 1000.0);
    return ok;
}

bool imxRecoverFirmware(UpdaterDisplayInterface& display, const BirdFile& image, uint32_t serial,
                        bool useUeiBytes) {
    Corvane::Module module(0, static_cast<uint8_t>(0));
    if (setLocalLinkConfig(display, module) != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Failed to transfer firmware");
        return false;
    }
    if (!connectLiveloader(display, module, serial)) {
        displayPrint(display, DISPLAY_ERROR, "Could not connect to device");
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

namespace {

// Writes one firmware block's payload chunk by chunk: RAM, prepare, copy. After the full erase
// a chunk of nothing but 0xFF is already in flash and does not travel.
bool nxpWriteBlock(UpdaterDisplayInterface& display, NxpIspClient& client, uint32_t address,
                   const uint8_t* payload, uint32_t length) {
    std::vector<uint8_t> staged;
    uint32_t done = 0;
    while (done < length) {
        const uint32_t size = std::min(kNxpChunkSize, length - done);
        const uint8_t* chunk = payload + done;
        const uint32_t flashAddress = address + done;
        const bool blank = std::all_of(chunk, chunk + size, [](uint8_t b) { return b == 0xFF; });
        if (!blank) {
            Debug_Print(DEBUG_Updater, "Transferring firmware %u bytes to address 0x%08X\n", size,
                        flashAddress);
            // The copy moves whole pages: stage the padding as erased flash (0xFF), so bytes
            // past the image are not programmed with whatever the RAM held before.
            const uint32_t copySize = NxpIspClient::copySizeFor(size);
            staged.assign(chunk, chunk + size);
            staged.resize(copySize, 0xFF);
            Debug_Print(DEBUG_Updater, "\t Write %u bytes to address 0x%08X\n", copySize,
                        kNxpRamBuffer);
            if (client.Write(kNxpRamBuffer, copySize, staged.data()) != aErrNone) {
                Debug_Print(DEBUG_Updater, "\t Write to RAM failed\n");
                return false;
            }
            const uint32_t first = NxpIspClient::sectorOfAddress(flashAddress);
            const uint32_t last = NxpIspClient::sectorOfAddress(flashAddress + copySize - 1);
            Debug_Print(DEBUG_Updater, "\t Prepare to copy to sector(s) %u to %u\n", first, last);
            if (client.prepareSectors(first, last) != aErrNone) {
                Debug_Print(DEBUG_Updater, "\t Prepare failed\n");
                return false;
            }
            Debug_Print(DEBUG_Updater, "\t Copy %u bytes from %08X to %08X\n", copySize,
                        kNxpRamBuffer, flashAddress);
            if (client.copyRamToFlash(flashAddress, kNxpRamBuffer, copySize) != aErrNone) {
                Debug_Print(DEBUG_Updater, "\t Transfer to flash failed\n");
                return false;
            }
        }
        done += size;
        display.progress(static_cast<double>(done) / length, nullptr);
    }
    return true;
}

} // namespace

bool nxpFlashFirmware(UpdaterDisplayInterface& display, const BirdFile& image,
                      const std::string& port, uint32_t baudRate) {
    NxpIspClient client;
    // Each failure names the port and what went wrong, once, on the error output.
    auto failed = [&](const char* trace) {
        Debug_Print(DEBUG_Network, "%s", trace);
        displayPrint(display, DISPLAY_ERROR, "Recovery failed: %s",
                     client.failure().empty() ? trace : client.failure().c_str());
        return false;
    };
    if (client.open(port, baudRate) != aErrNone) {
        Debug_Print(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return failed("Could not connect\n");
    }
    Debug_Print(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (client.unlock() != aErrNone) {
        return failed("Could not unlock\n");
    }
    Debug_Print(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (client.prepareSectors(0, NxpIspClient::kSectorCount - 1) != aErrNone) {
        return failed("Could not prepare\n");
    }
    Debug_Print(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (client.eraseSectors(0, NxpIspClient::kSectorCount - 1) != aErrNone) {
        return failed("Could not erase\n");
    }
    if (client.setEcho(false) != aErrNone) {
        return failed("Could not turn the echo off\n");
    }
    Debug_Print(DEBUG_Updater, "Updating device firmware: \n");
    Debug_Print(DEBUG_Updater, "Transferring firmware to device from [%s]\n",
                image.filename().c_str());
    const std::vector<BirdBlock> blocks = image.blocksOfType(BIRD_BLOCK_FIRMWARE);
    const int shown = static_cast<int>(blocks.size()) - 1;
    int number = 0;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        ++number;
        const uint32_t length = block.length - 4;
        if (length == 4) {
            break; // the 4-byte block marks the end of the image
        }
        displayPrint(display, DISPLAY_INFO, "Transferring firmware block %d of %d, %u bytes",
                     number, shown, length);
        display.showProgress(true);
        Debug_Print(DEBUG_Updater, "Transferring firmware block: %u bytes to address 0x%08X\n",
                    length, block.address);
        const bool written = nxpWriteBlock(display, client, block.address, block.data + 4, length);
        display.showProgress(false);
        if (!written) {
            return failed("Writing a firmware block failed\n");
        }
        total += length;
    }
    displayPrint(display, DISPLAY_INFO, "Transferred %d blocks, %u total bytes", shown, total);
    const aErr err = client.setEcho(true);
    if (err != aErrNone) {
        // The image is in flash but the chip stopped answering: the module is not started, and
        // the recovery cannot be called a success.
        displayPrint(display, DISPLAY_ERROR,
                     "Recovery Error transfering data to device ==> [%d, %s]", err,
                     aError_GetErrorText(err));
        return false;
    }
    displayPrint(display, DISPLAY_INFO, "Rebooting Device");
    client.go(0);
    return true;
}
