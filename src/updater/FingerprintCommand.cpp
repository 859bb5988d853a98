// The fingerprint command (-N) and the chip identification it shares with the recovery: the NXP
// ISP's identification, or the i.MX liveloader loaded through the serial download ROM.
#include "Debug.h"
#include "Interruption.h"
#include "ModuleAccess.h"
#include "NxpIspClient.h"
#include "PermissionHint.h"
#include "Recovery.h"
#include "Retrieval.h"
#include "SDPProtocol.h"
#include "StoreAccess.h"
#include "UpdaterCommands.h"

#include "corvane/SystemClass.h"
#include "corvane/aTime.h"
#include "StoreLayout.h"

#include <cstdio>
#include <exception>

namespace {

// The liveloader reports the chip's unique identifier as one word per parameter of this
// SystemClass option, the last word first.
constexpr uint8_t kOptChipIdentifier = 39;

// The liveloader the store holds for serial: the file its LATEST_DOWNLOAD names, when that
// loads. An entry without such a file (a download that failed leaves one) is no reason not to
// ask the server; what was wrong goes to the trace.
bool storedLiveloader(UpdaterStore& store, uint32_t serial, BirdFile& image) {
    StoreEntry entry;
    if (!store.findDevice(serial, &entry)) {
        Debug_Print(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        return false;
    }
    const std::string fileName = entry.attributes.getString("LATEST_DOWNLOAD");
    if (fileName.empty()) {
        Debug_Print(DEBUG_APP, "The store's entry for %08X names no image. Downloading.\n", serial);
        return false;
    }
    try {
        entry.loadBird(fileName, image);
        return true;
    } catch (const std::exception& e) {
        Debug_Print(DEBUG_APP, "The store's %s for %08X does not load (%s). Downloading.\n",
                    fileName.c_str(), serial, e.what());
        return false;
    }
}

// Fetches the latest build for serial from the update server into the store and loads it. The
// download's own messages stay quiet; a failure says what was tried.
bool downloadedLiveloader(UpdaterContext& context, UpdaterStore& store, uint32_t serial,
                          BirdFile& image) {
    UpdaterDisplayInterface& display = context.display;
    display.setQuiet(true);
    const uint32_t build = Download_Firmware(context, serial, "", false, false);
    display.setQuiet(false);
    StoreEntry entry;
    if (build == 0 || !store.findDevice(serial, &entry)) {
        displayPrint(display, DISPLAY_ERROR,
                     "No liveloader image for %08X: the store holds none that loads, and the "
                     "update server at %s gave none",
                     serial, context.run.serverUrl.c_str());
        return false;
    }
    entry.loadBird(buildFileName(build), image);
    return true;
}

const char* writeResultText(int result) {
    switch (result) {
    case SDPProtocol::WRITE_NO_ACK: return "the boot ROM did not answer its status request";
    case SDPProtocol::WRITE_ABORTED: return "the transfer broke off";
    case SDPProtocol::WRITE_NOT_CONFIRMED: return "the boot ROM did not confirm the data";
    default: return "unknown result";
    }
}

} // namespace

CommandStatus fingerprintCommand(UpdaterContext& context, const FingerprintRequest& request,
                                 std::array<uint32_t, 4>& words) {
    if (getFingerprint(context, request.serialPort, request.serial, request.birdFile,
                       request.baudRate, request.resetAfter, words)) {
        return CommandStatus::Succeeded;
    }
    return CommandStatus::Failed;
}

bool nxpGetInfo(const std::string& port, uint32_t baudRate, ChipIdentifier& identifier,
                std::string* verdict) {
    NxpIspClient client;
    aErr err = client.open(port, baudRate);
    if (err != aErrNone) {
        Debug_Print(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        if (verdict != nullptr) {
            *verdict = client.failure();
        }
        return false;
    }
    Debug_Print(DEBUG_APP, "\n\tSync to Device:\n");
    err = client.synchronize();
    if (err != aErrNone) {
        Debug_Print(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
                    err);
        // A port that does not take the bytes written to it is broken, not merely silent; a chip
        // stuck inside a RAM write is an NXP chip that only a reset brings back.
        if ((err == aErrIO || err == aErrMode) && verdict != nullptr) {
            *verdict = client.failure();
        }
        return false;
    }
    Debug_Print(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (client.readUid() != aErrNone) {
        Debug_Print(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    identifier = client.uid();
    return true;
}

bool getFingerprint(UpdaterContext& context, const std::string& port, uint32_t serial,
                    const std::string& birdPath, uint32_t baudRate, bool resetAfter,
                    ChipIdentifier& identifier) {
    std::string verdict;
    if (nxpGetInfo(port, baudRate, identifier, &verdict)) {
        context.recoveryChip = RECOVERY_CHIP_NXP_ISP;
        return true;
    }
    context.recoveryChip = RECOVERY_CHIP_IMX_SDP;
    // A port that cannot be opened or written holds no chip of either kind, and one whose NXP
    // chip needs a reset holds no i.MX chip: say why once. "USB" is no serial port: it names
    // the i.MX loader's USB device.
    if (!verdict.empty() && port != "USB") {
        displayPrint(context.display, DISPLAY_ERROR, "%s", verdict.c_str());
        return false;
    }
    return _get_fingerprint_imx(context.display, context, port, serial, birdPath, identifier,
                                resetAfter);
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, UpdaterContext& context,
                          const std::string& port, uint32_t serial, const std::string& birdPath,
                          ChipIdentifier& identifier, bool resetAfter) {
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "_get_fingerprint_imx");
    if (!store) {
        return false;
    }
    if (serial == 0) {
        serial = kPlaceholderSerial;
    }
    BirdFile image;
    try {
        if (!birdPath.empty()) {
            if (serial == kPlaceholderSerial) {
                displayPrint(display, DISPLAY_ERROR,
                             "Add serial number or remove the bird filename to use a default "
                             "recovery image.");
                return false;
            }
            image = BirdFile(birdPath);
        } else if (!storedLiveloader(*store, serial, image) &&
                   !downloadedLiveloader(context, *store, serial, image)) {
            return false;
        }
    } catch (const std::exception& e) {
        display.setQuiet(false);
        displayPrint(display, DISPLAY_ERROR, "Failed to load the liveloader image: %s", e.what());
        return false;
    }
    if (_load_liveloader_imx(display, image, port) != aErrNone) {
        Debug_Print(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }
    Corvane::Module module(0, static_cast<uint8_t>(0));
    if (setLocalLinkConfig(display, module) != aErrNone) {
        return false;
    }
    if (!connectLiveloader(display, module, serial)) {
        return false;
    }
    Corvane::SystemClass system;
    system.init(&module, 0);
    for (uint8_t parameter = 0; parameter < 4; ++parameter) {
        uint32_t word = 0;
        const aErr err = system.getUEI32(kOptChipIdentifier, parameter, &word);
        if (err != aErrNone) {
            Debug_Print(DEBUG_APP, "Error getting Identifier %d.\n", parameter);
            displayPrint(display, DISPLAY_ERROR,
                         "The liveloader did not report the chip identifier [%d, %s]", err,
                         aError_GetErrorText(err));
            return false;
        }
        identifier[3 - parameter] = word;
    }
    if (resetAfter) {
        system.reset(); // the chip leaves the liveloader; its answer may not come
    }
    return true;
}

bool connectLiveloader(UpdaterDisplayInterface& display, Corvane::Module& module, uint32_t serial) {
    const bool other = serial != 0 && serial != kPlaceholderSerial;
    aErr err = aErrNotFound;
    for (uint32_t attempt = 1; attempt <= kLiveloaderAttempts && !interruption::requested();
         ++attempt) {
        if (attempt % 3 == 0) {
            // Every walk of the bus starts afresh here, so there is no enumeration to renew.
            Debug_Print(DEBUG_APP,
                        "Failed enumeration after 3 tries, refreshing libusb context.\n");
        }
        display.spinner(true, "Waiting for the liveloader");
        err = module.discoverAndConnect(USB, kPlaceholderSerial);
        if (!module.isConnected() && other) {
            err = module.discoverAndConnect(USB, serial);
        }
        if (module.isConnected()) {
            display.spinner(false, nullptr);
            return true;
        }
        if (attempt < kLiveloaderAttempts) {
            aTime_MSSleep(kLiveloaderPauseMs);
        }
    }
    display.spinner(false, nullptr);
    if (interruption::requested()) {
        return false;
    }
    Debug_Print(DEBUG_APP, "Could not connect to device.\n");
    if (!showPermissionHint(display, err)) {
        char also[24] = "";
        if (other) {
            snprintf(also, sizeof also, " or %08X", serial);
        }
        displayPrint(display, DISPLAY_ERROR,
                     "The liveloader did not appear on USB as module %08X%s within %u attempts "
                     "%u ms apart",
                     kPlaceholderSerial, also, kLiveloaderAttempts, kLiveloaderPauseMs);
    }
    return false;
}

uint32_t imxLoaderStartAddress(const BirdFile& image) {
    for (const BirdBlock& block : image.blocksOfType(BIRD_BLOCK_LOADER_START)) {
        if (block.length >= 4) {
            return uint32_t{block.data[0]} << 24 | uint32_t{block.data[1]} << 16 |
                   uint32_t{block.data[2]} << 8 | block.data[3];
        }
        break; // only the first loader-start block counts
    }
    return kImxDefaultLoaderStart;
}

aErr _load_liveloader_imx(UpdaterDisplayInterface& display, const BirdFile& image,
                          const std::string& port) {
    Debug_Print(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPProtocol protocol;
    protocol.setTransport(sdpLoaderForPort(port));
    if (protocol.open() != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Cannot open the i.MX boot loader: %s",
                     protocol.transport()->failure().c_str());
        return aErrNotReady;
    }
    const std::vector<BirdBlock> blocks = image.blocksOfType(BIRD_BLOCK_LOADER);
    if (blocks.empty()) {
        // Jumping into RAM that nothing was written to would start garbage.
        displayPrint(display, DISPLAY_ERROR, "The image %s holds no loader block",
                     image.filename().c_str());
        return aErrConnection;
    }
    // The upload takes seconds at the ROM's 115200 baud: show how far it is.
    size_t total = 0;
    for (const BirdBlock& block : blocks) {
        total += block.length - 4;
    }
    size_t before = 0;
    protocol.sent = [&display, &before, total](size_t sent) {
        display.progress(static_cast<double>(before + sent) / static_cast<double>(total), nullptr);
    };
    display.showProgress(true);
    int number = 0;
    for (const BirdBlock& block : blocks) {
        // Between two commands the ROM waits for the next one: an interrupt stops it there.
        if (interruption::requested()) {
            display.showProgress(false);
            displayPrint(display, DISPLAY_ERROR,
                         "Liveloader upload stopped by the interrupt before loader block %d; the "
                         "boot ROM waits for its next command",
                         number);
            return aErrCancel;
        }
        const size_t size = block.length - 4;
        Debug_Print(DEBUG_Updater, "Writting Block: %d, size %zu, address: %u\n", number, size,
                    block.address);
        const int result = protocol.writeFile(block.data + 4, size, block.address);
        if (result != SDPProtocol::WRITE_OK) {
            display.showProgress(false);
            const std::string& why = protocol.transport()->failure();
            displayPrint(display, DISPLAY_ERROR, "Loader block %d was not written (%d: %s)%s%s",
                         number, result, writeResultText(result), why.empty() ? "" : ": ",
                         why.c_str());
            return aErrConnection;
        }
        before += size;
        ++number;
    }
    display.showProgress(false);
    protocol.jumpAddress(imxLoaderStartAddress(image));
    return aErrNone;
}
