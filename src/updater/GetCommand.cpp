// The get command (-G): fetches one firmware build from the update server into the store, the
// download running on a worker thread while the spinner turns.
#include "Base64.h"
#include "BirdFile.h"
#include "BuildText.h"
#include "CaFile.h"
#include "Debug.h"
#include "Recovery.h"
#include "Retrieval.h"
#include "SerialNumberText.h"
#include "ServerCommClass.h"
#include "StoreAccess.h"
#include "UpdaterCommands.h"
#include "StoreLayout.h"

#include <chrono>
#include <future>
#include <system_error>
#include <thread>

namespace {

constexpr auto kSpinnerStep = std::chrono::milliseconds(100);

struct DownloadResult {
    bool ok = false;
    std::string base64;
};

// Runs GetBuild on a worker thread; the calling thread keeps the display and turns the spinner
// until the result is there.
DownloadResult downloadWithSpinner(UpdaterContext& context, uint32_t serial,
                                   const std::string& firmwareId, const std::string& build,
                                   bool noCal) {
    std::promise<DownloadResult> promise;
    std::future<DownloadResult> future = promise.get_future();
    const std::string url = context.run.serverUrl;
    const ServerCommClass server = context.run.server;
    std::thread worker;
    try {
        worker = std::thread([&promise, server, serial, firmwareId, build, url, noCal] {
            DownloadResult result;
            try {
                result.ok = server.GetBuild(serial, firmwareId, build, result.base64, url, noCal);
            } catch (const std::exception&) {
                result = {}; // out of memory for the reply: reported as a failed download
            }
            promise.set_value(std::move(result));
        });
    } catch (const std::system_error&) {
        return {}; // no thread to be had: reported as a failed download
    }
    const auto done = [&future](std::chrono::milliseconds wait) {
        return future.wait_for(wait) == std::future_status::ready;
    };
    context.display.spinner(true, "Downloading");
    while (!(context.run.spinnerStep ? context.run.spinnerStep(done) : done(kSpinnerStep))) {
        context.display.spinner(true, "Downloading");
    }
    context.display.spinner(false, "Downloading");
    DownloadResult result = future.get();
    worker.join();
    return result;
}

// True when bytes load as a BIRD file the update command would take for this module: the header
// the store checks, at least one block, and either an offsets block (the serial number is
// written in) or this module's serial number. The placeholder serial number fetches liveloaders
// for any chip in recovery, which name no module. reason says what is wrong otherwise.
bool acceptableBird(const std::vector<uint8_t>& bytes, uint32_t serial, std::string& reason) {
    if (bytes.size() < BIRD_HEADER_SIZE || bytes[0] != 'b' || bytes[1] != 'i' || bytes[2] != 'r' ||
        bytes[3] != 'd' || bytes[4] == 0 || bytes[5] == 0) {
        reason = "no BIRD header";
        return false;
    }
    try {
        const BirdFile bird = BirdFile::fromMemory("download", bytes.data(), bytes.size());
        if (bird.blockCount() == 0) {
            reason = "no blocks";
            return false;
        }
        if (!bird.hasOffsets() && !bird.serialNumberMatches(serial) &&
            serial != kPlaceholderSerial) {
            reason = "built for " + serialNumberText(bird.infoSerialNumber());
            return false;
        }
    } catch (const std::exception& e) {
        reason = e.what();
        return false;
    }
    return true;
}

} // namespace

bool pingServer(UpdaterContext& context) {
    std::string detail;
    switch (context.run.server.reach(context.run.serverUrl, &detail)) {
    case ServerReach::Answered: return true;
    case ServerReach::Untrusted:
        displayPrint(context.display, DISPLAY_ERROR, "Cannot verify the update server at %s: %s",
                     context.run.serverUrl.c_str(), detail.c_str());
        displayPrint(context.display, DISPLAY_ERROR,
                     "Trust the certificate authority that signed its certificate with "
                     "--ca-file PEM or %s.",
                     kCaFileVariable);
        context.failure.note(FailureKind::Tls);
        return false;
    case ServerReach::Unreachable:
    case ServerReach::Refused: break;
    }
    displayPrint(context.display, DISPLAY_ERROR, "Server request failed for %s",
                 context.run.serverUrl.c_str());
    context.failure.note(FailureKind::ServerUnreachable);
    return false;
}

bool _validate_build(uint32_t serial, uint32_t build, const std::string& serverUrl,
                     const ServerCommClass& server) {
    BuildList builds;
    if (build == 0 || !server.GetBuildList(serial, builds, serverUrl)) {
        return false;
    }
    for (const auto& [key, version] : builds) {
        const auto number = parseBuildNumber(key);
        if (!number) {
            // A key that is no number matches no build, least of all build 0.
            Debug_Print(DEBUG_Updater, "Error: Could not convert %s to int.\n", key.c_str());
            continue;
        }
        if (*number == build) {
            return true;
        }
    }
    return false;
}

uint32_t latestBuildNumber(const std::string& line) {
    // The server may end its lines with CR LF; the line break is no part of the number.
    const auto build = parseBuildNumber(std::string_view(line).substr(0, line.find('\r')));
    if (!build) {
        Debug_Print(DEBUG_Updater, "Error: Could not convert %s to int.\n", line.c_str());
        return 0;
    }
    return *build;
}

uint32_t Download_Firmware(UpdaterContext& context, uint32_t serial, const std::string& buildText,
                           bool override, bool noCal) {
    UpdaterDisplayInterface& display = context.display;
    const auto requested =
        buildText.empty() ? std::optional<uint32_t>(0) : parseBuildNumber(buildText);
    if (!requested) {
        displayPrint(display, DISPLAY_ERROR, "Build number '%s' must be an number",
                     buildText.c_str());
        context.failure.note(FailureKind::Usage);
        return 0;
    }
    uint32_t build = *requested;
    if (serial == 0) {
        displayPrint(display, DISPLAY_ERROR, "Serial Number must be non-zero");
        context.failure.note(FailureKind::Usage);
        return 0;
    }
    const ServerCommClass& server = context.run.server;
    if (!pingServer(context)) {
        return 0;
    }
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "Download_Firmware");
    if (!store) {
        context.failure.note(FailureKind::Store);
        return 0;
    }
    // The download goes into the module's own directory, created on its first download.
    StoreEntry entry;
    if (!store->findDevice(serial)) {
        Debug_Print(DEBUG_APP, "Could not find device in our update history.\n");
    }
    try {
        entry = store->deviceEntry(serial);
    } catch (const std::exception&) {
        displayPrint(display, DISPLAY_ERROR, "Could not create directory for storing BIRD file");
        context.failure.note(FailureKind::Store);
        return 0;
    }

    std::string latest;
    std::string firmwareId;
    if (!server.QueryBuild(serial, latest, firmwareId, context.run.serverUrl)) {
        displayPrint(display, DISPLAY_ERROR, "No build information for device");
        context.failure.note(FailureKind::ServerRefused);
        return 0;
    }
    if (build == 0) {
        build = latestBuildNumber(latest);
    }
    displayPrint(display, DISPLAY_INFO, "Retrieving build %u", build);
    if (override) {
        displayPrint(display, DISPLAY_INFO, "Override specified, skipping validation of build %u",
                     build);
    } else {
        displayPrint(display, DISPLAY_INFO, "Validating build %u with server", build);
    }
    // Build 0 is what a latest build that is no number leaves: no override makes it a build.
    if (build == 0 || (!override && !_validate_build(serial, build, context.run.serverUrl, server))) {
        displayPrint(display, DISPLAY_ERROR, "No valid build %u", build);
        context.failure.note(FailureKind::ServerRefused);
        return 0;
    }
    if (!override) {
        displayPrint(display, DISPLAY_INFO, "Build %u is valid", build);
    }

    const std::string buildNumberText = std::to_string(build);
    DownloadResult download =
        downloadWithSpinner(context, serial, firmwareId, buildNumberText, noCal);
    if (!download.ok) {
        displayPrint(display, DISPLAY_ERROR, "Download failed");
    }
    if (download.base64.empty()) {
        displayPrint(display, DISPLAY_ERROR, "Failed to retrieve a valid BIRD file");
        context.failure.note(FailureKind::ServerRefused);
        return 0;
    }

    const std::string fileName = buildFileName(build);
    std::vector<uint8_t> bytes;
    if (!base64Decode(download.base64, bytes)) {
        // Nothing was stored, so a following update must not be told that this build is here.
        displayPrint(display, DISPLAY_ERROR,
                     "The server's BIRD file for build %u is not valid Base64", build);
        context.failure.note(FailureKind::NotBirdFile);
        return 0;
    }
    // The text is no longer needed: free it before the image is decoded. Assigning an empty
    // string would keep its buffer.
    std::string().swap(download.base64);
    std::string refusal;
    if (!acceptableBird(bytes, serial, refusal)) {
        // A good stored copy must never give way to something the update would refuse.
        displayPrint(display, DISPLAY_ERROR,
                     "The server's file for build %u is not a BIRD file for device %08X: %s", build,
                     serial, refusal.c_str());
        context.failure.note(FailureKind::NotBirdFile);
        return 0;
    }
    const std::string when = attributeTimeNow();
    const aErr written = entry.writeFile(fileName, bytes.data(), bytes.size());
    if (written != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Failed to write file with %d",
                     static_cast<int>(written));
        context.failure.note(FailureKind::Store, written);
        return 0;
    }
    entry.attributes.set(ATTR_LATEST_DOWNLOAD, fileName);
    entry.attributes.set(ATTR_LAST_DOWNLOAD_DATE, when);
    // The build is stored either way; say so when its record could not be kept.
    const aErr recorded = entry.attributes.write();
    if (recorded != aErrNone) {
        displayPrint(display, DISPLAY_ERROR,
                     "Stored %s but could not record it in the device's .settings file (%s)",
                     fileName.c_str(), aError_GetErrorText(recorded));
    }
    return build;
}

uint32_t getBuildCommand(UpdaterContext& context, const GetRequest& request) {
    displayPrint(context.display, DISPLAY_INFO,
                 "Retrieving firmware for device with serial number %08X", request.serial);
    if (request.build.empty()) {
        displayPrint(context.display, DISPLAY_INFO, "No build specified");
        displayPrint(context.display, DISPLAY_INFO, "Using Latest build");
    } else {
        displayPrint(context.display, DISPLAY_INFO, "Retrieving firmware build %s",
                     request.build.c_str());
    }
    return Download_Firmware(context, request.serial, request.build, request.override, false);
}
