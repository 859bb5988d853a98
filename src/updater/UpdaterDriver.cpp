// The Updater's driver: parses the command line, prepares the store and runs the commands in
// their fixed order. Commands report their own failures; only this file picks the exit status.
#include "UpdaterDriver.h"

#include "BuildText.h"
#include "CLI_Display.h"
#include "Debug.h"
#include "Doctor.h"
#include "InspectCommands.h"
#include "PrintableText.h"
#include "ResultTables.h"
#include "ServerUrl.h"
#include "UpdaterCommands.h"

#include "corvane/aDirectory.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t kHomeBufferSize = 2048;
constexpr uint32_t kFingerprintSerial = 0xDEADDEAD;
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

void printVersionLine(UpdaterDisplayInterface& display) {
    displayPrint(display, DISPLAY_INFO, "%s (%s)", kUpdaterName, kUpdaterVersion);
}

// first joined with second by the library's path rules; false when it does not fit.
bool joinPath(const std::string& first, const char* second, std::string& out) {
    // The join needs the two texts, a separator and some slack for its room accounting.
    std::vector<char> buffer(first.size() + strlen(second) + 8);
    if (aDirectory_JoinPath(buffer.data(), buffer.size(), first.c_str(), second) != aErrNone) {
        return false;
    }
    out = buffer.data();
    return true;
}

// The transport handed to discovery: the -t value unless none was given or it asks for recovery.
int discoveryTransport(const UpdaterOptions& options) {
    if (options.transportGiven && options.transport != TRANSPORT_RECOVER) {
        return options.transport;
    }
    return TRANSPORT_NONE;
}

// How -N or -G ended. They run ahead of the main command and only set the run's status so far,
// except that a missing value they need ends the run at once with 1.
enum class StepResult {
    Succeeded,
    Failed,
    MissingInput,
};

int exitStatus(StepResult result) {
    return result == StepResult::Succeeded ? kExitSuccess : kExitFailure;
}

StepResult runFingerprint(const UpdaterOptions& options, UpdaterContext& context) {
    if (options.serialPort.empty()) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Must specify the serial port used for connecting");
        return StepResult::MissingInput;
    }
    std::array<uint32_t, 4> words{};
    CommandStatus status = fingerprintCommand(context, options.serialPort, kFingerprintSerial,
                                              options.birdFile, options.baudRate, true, words);
    if (status == CommandStatus::Succeeded) {
        displayPrint(context.display, DISPLAY_INFO, "[ %08X %08X %08X %08X ]", words[0], words[1],
                     words[2], words[3]);
        return StepResult::Succeeded;
    }
    if (status == CommandStatus::Failed) {
        displayPrint(context.display, DISPLAY_ERROR, "Got no response from chip");
    }
    return StepResult::Failed;
}

StepResult runGet(UpdaterOptions& options, UpdaterContext& context) {
    if (options.serial == 0) {
        displayPrint(context.display, DISPLAY_ERROR, "-G must specify a specific device via -d");
        displayPrint(context.display, DISPLAY_ERROR, "--help for usage information");
        return StepResult::MissingInput;
    }
    uint32_t fetched = getBuildCommand(
        context, {.serial = options.serial, .build = options.build, .override = options.override});
    if (fetched == 0) {
        return StepResult::Failed;
    }
    // A following -U installs exactly the build just fetched.
    options.build = std::to_string(fetched);
    return StepResult::Succeeded;
}

int runUpdate(UpdaterOptions& options, UpdaterContext& context) {
    // No build text means the latest build. -b and -G only ever leave a build number here; any
    // other text must not quietly become "the latest".
    const auto parsed =
        options.build.empty() ? std::optional<uint32_t>(0) : parseBuildNumber(options.build);
    if (!parsed) {
        displayPrint(context.display, DISPLAY_ERROR, "Build number '%s' must be an number",
                     options.build.c_str());
        return kExitFailure;
    }
    const uint32_t build = *parsed;
    context.useUeiBytes = options.useUeiBytes;
    bool ok;
    if (options.transport == TRANSPORT_RECOVER) {
        ok = recoverCommand(context, {.serialPort = options.serialPort,
                                      .build = build,
                                      .baudRate = options.baudRate,
                                      .serial = options.serial,
                                      .birdFile = options.birdFile,
                                      .override = options.override});
    } else {
        if (options.serial == 0) {
            displayPrint(context.display, DISPLAY_ERROR,
                         "Must specify the specific device to be updated");
            return kExitFailure;
        }
        ok = updateCommand(context, {.serial = options.serial,
                                     .build = build,
                                     .birdFile = options.birdFile,
                                     .moduleAddress = options.moduleAddress,
                                     .routerSerial = options.routerSerial,
                                     .override = options.override,
                                     .serialPort = options.serialPort});
    }
    return ok ? kExitSuccess : kExitFailure;
}

// -B, -L and -J refuse to start without a serial number, with the short usage as a reminder.
bool requireSerial(const UpdaterOptions& options, UpdaterContext& context, const char* message) {
    if (options.serial != 0) {
        return true;
    }
    displayPrint(context.display, DISPLAY_ERROR, "%s", message);
    printUsage(false, false);
    return false;
}

// A command that ran reports its own failures and the run still ends with 0 (the result is on
// screen); only a command missing from this build fails the run.
int listingExit(CommandStatus status) {
    return status == CommandStatus::Unavailable ? kExitFailure : kExitSuccess;
}

// -B and -L: the server's or the store's builds as a build table.
int runBuildList(const UpdaterOptions& options, UpdaterContext& context,
                 CommandStatus (*command)(UpdaterContext&, uint32_t, BuildList&),
                 const char* missingSerialMessage) {
    if (!requireSerial(options, context, missingSerialMessage)) {
        return kExitFailure;
    }
    BuildList builds;
    CommandStatus status = command(context, options.serial, builds);
    if (status != CommandStatus::Unavailable) {
        printBuildTable(context.display, builds, options.serial);
    }
    return listingExit(status);
}

} // namespace

bool prepareStoreDirectory(UpdaterDisplayInterface& display, UpdaterOptions& options,
                           std::string& storeDirectory) {
    if (options.storeBase.empty()) {
        char home[kHomeBufferSize] = {};
        aErr error = aDirectory_GetHomeDirectory(home, sizeof home);
        if (error != aErrNone) {
            Debug_Print(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", error);
            // Without this line the run would end with status 1 and nothing on the screen.
            displayPrint(display, DISPLAY_ERROR,
                         "Could not find the home directory (error %d); use -i to name one",
                         static_cast<int>(error));
            return false;
        }
        options.homeDirectory = home;
        if (!joinPath(options.homeDirectory, ".quendra", options.storeBase)) {
            displayPrint(display, DISPLAY_ERROR, "Could not find updater directory at %s",
                         (options.homeDirectory + "/.quendra/updater").c_str());
            return false;
        }
    }
    if (!joinPath(options.storeBase, "updater", storeDirectory)) {
        displayPrint(display, DISPLAY_ERROR, "Could not find updater directory at %s",
                     (options.storeBase + "/updater").c_str());
        return false;
    }
    // aDirectory_Ensure creates rwxr-xr-x at most: group and others may read firmware, never
    // write it.
    if (aDirectory_Ensure(storeDirectory.c_str()) != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Could not find updater directory at %s",
                     storeDirectory.c_str());
        return false;
    }
    return true;
}

int runCommands(UpdaterOptions& options, UpdaterContext& context) {
    int rc = kExitSuccess;
    if ((options.flags & FLAG_FINGERPRINT) != 0) {
        const StepResult fingerprint = runFingerprint(options, context);
        if (fingerprint == StepResult::MissingInput) {
            return kExitFailure;
        }
        rc = exitStatus(fingerprint);
    }
    if ((options.flags & FLAG_GET_BUILD) != 0) {
        // Its result replaces the fingerprint's.
        const StepResult get = runGet(options, context);
        if (get == StepResult::MissingInput) {
            return kExitFailure;
        }
        rc = exitStatus(get);
    }
    // Exactly one of the following runs, the first asked for.
    if ((options.flags & FLAG_DISCOVER) != 0) {
        return listingExit(discoverCommand(context, {.routerSerial = options.routerSerial,
                                                     .transport = discoveryTransport(options)}));
    }
    if ((options.flags & FLAG_UPDATE) != 0) {
        return runUpdate(options, context);
    }
    if ((options.flags & FLAG_LIST_BUILDS) != 0) {
        return runBuildList(options, context, listBuildsCommand,
                            "Error must supply a serial number for the List Builds command");
    }
    if ((options.flags & FLAG_LIST_LOCAL) != 0) {
        return runBuildList(options, context, listLocalBuildsCommand,
                            "Error must supply a serial number for the List Local Builds command");
    }
    if ((options.flags & FLAG_GET_JWT) != 0) {
        if (!requireSerial(options, context,
                           "Error must supply a serial number for the Get JWT command")) {
            return kExitFailure;
        }
        std::string token;
        CommandStatus status = getTokenCommand(context, options.serial, token);
        if (status != CommandStatus::Unavailable) {
            displayPrint(context.display, DISPLAY_INFO, "%s", printableText(token).c_str());
        }
        return listingExit(status);
    }
    // -I (FLAG_DEVICE_INFO) and -C (FLAG_CHECK_BIRD) hook in here: they run when none of the
    // commands above did, after -N and -G, and their result joins rc. -Z starts nothing.
    if ((options.flags & FLAG_DEVICE_INFO) != 0 &&
        deviceInfoCommand(context, options.serial) != CommandStatus::Succeeded) {
        rc = kExitFailure;
    }
    if ((options.flags & FLAG_CHECK_BIRD) != 0 &&
        checkBirdCommand(context, options.birdFile) != CommandStatus::Succeeded) {
        rc = kExitFailure;
    }
    return rc;
}

int runUpdater(int argc, char** argv) {
    CLI_Display display;
    Debug_SetSink(stderr);
    UpdaterOptions options;
    if (parseOptions(display, argc, argv, options) != 0) {
        printVersionLine(display);
        printUsage(false, false);
        return kExitFailure;
    }
    if (options.doctor && (options.flags & FLAG_HELP) == 0)
        return doctorCommand(display, options);
    printVersionLine(display);
    if ((options.flags & FLAG_HELP) != 0 || (options.flags & FLAG_ANY_COMMAND) == 0) {
        printUsage(options.extendedUsage, options.helpRequested);
        return kExitSuccess;
    }
    std::string storeDirectory;
    if (!prepareStoreDirectory(display, options, storeDirectory)) {
        return kExitFailure;
    }
    UpdaterContext context(normaliseServerUrl(options.serverUrl), storeDirectory, display);
    return runCommands(options, context);
}
