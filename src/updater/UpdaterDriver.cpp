// The Updater's driver: parses the command line, prepares the store and runs the commands in
// their fixed order. Commands report their own failures; only this file picks the exit status.
#include "UpdaterDriver.h"

#include "BirdFile.h"
#include "BuildText.h"
#include "CLI_Display.h"
#include "Debug.h"
#include "Doctor.h"
#include "InspectCommands.h"
#include "Interruption.h"
#include "PrintableText.h"
#include "RackUpdate.h"
#include "ResultTables.h"
#include "ServerUrl.h"
#include "StoreFolder.h"
#include "UpdaterCommands.h"

#include "corvane/aDirectory.h"

#include <vector>

namespace {

constexpr uint32_t kFingerprintSerial = 0xDEADDEAD;
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

void printVersionLine(UpdaterDisplayInterface& display) {
    displayPrint(display, DISPLAY_INFO, "%s (%s)", kUpdaterName, kUpdaterVersion);
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

StepResult runFingerprint(const UpdaterOptions& options, UpdaterContext& context,
                          JsonReport* json) {
    if (options.serialPort.empty()) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Must specify the serial port used for connecting");
        return StepResult::MissingInput;
    }
    std::array<uint32_t, 4> words{};
    CommandStatus status = fingerprintCommand(context, options.serialPort, kFingerprintSerial,
                                              options.birdFile, options.baudRate, true, words);
    if (json)
        json->fingerprint(context, options.serialPort, status == CommandStatus::Succeeded, words);
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

StepResult runGet(UpdaterOptions& options, UpdaterContext& context, JsonReport* json) {
    if (options.serial == 0) {
        displayPrint(context.display, DISPLAY_ERROR, "-G must specify a specific device via -d");
        displayPrint(context.display, DISPLAY_ERROR, "--help for usage information");
        return StepResult::MissingInput;
    }
    uint32_t fetched = getBuildCommand(
        context, {.serial = options.serial, .build = options.build, .override = options.override});
    if (json)
        json->get(context, options.serial, options.build, fetched);
    if (fetched == 0) {
        return StepResult::Failed;
    }
    // A following -U installs exactly the build just fetched.
    options.build = std::to_string(fetched);
    return StepResult::Succeeded;
}

// Several -d with -U, or --all: the modules update side by side (-G, when given, runs for each
// of them in its own job).
bool isRackUpdate(const UpdaterOptions& options) {
    return (options.flags & FLAG_UPDATE) != 0 && options.transport != TRANSPORT_RECOVER &&
           (options.allModules || options.serials.size() > 1);
}

int runRackUpdate(const UpdaterOptions& options, UpdaterContext& context, JsonReport* json) {
    RackRequest request{.serials = options.serials,
                        .all = options.allModules,
                        .get = (options.flags & FLAG_GET_BUILD) != 0,
                        .build = options.build,
                        .birdFile = options.birdFile,
                        .routerSerial = options.routerSerial,
                        .transport = discoveryTransport(options),
                        .override = options.override,
                        .jobs = options.jobs};
    context.useUeiBytes = options.useUeiBytes;
    std::vector<ModuleOutcome> outcomes;
    uint32_t jobs = 0;
    const bool ok = rackUpdateCommand(context, request, outcomes, &jobs);
    if (json)
        json->update(jobs, outcomes, context.storeDirectory);
    return ok ? kExitSuccess : kExitFailure;
}

// --all picks the modules itself: it goes with -U only, and not with -d.
bool checkRackOptions(const UpdaterOptions& options, UpdaterContext& context) {
    if (!options.allModules)
        return true;
    if ((options.flags & FLAG_UPDATE) == 0 || options.transport == TRANSPORT_RECOVER)
        displayPrint(context.display, DISPLAY_ERROR, "--all selects the modules of -U only");
    else if (!options.serials.empty())
        displayPrint(context.display, DISPLAY_ERROR, "--all and -d cannot be combined");
    else
        return true;
    context.failure.note(FailureKind::Usage);
    return false;
}

int runUpdate(UpdaterOptions& options, UpdaterContext& context, JsonReport* json) {
    if (isRackUpdate(options))
        return runRackUpdate(options, context, json);
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
        if (json)
            json->recover(context, options.serialPort, ok);
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
        if (json)
            json->update(1, {singleOutcome(context, options.serial, ok, json->errorsSinceBegin())},
                         context.storeDirectory);
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
                 const char* missingSerialMessage, JsonReport* json, const char* section) {
    if (!requireSerial(options, context, missingSerialMessage)) {
        return kExitFailure;
    }
    BuildList builds;
    CommandStatus status = command(context, options.serial, builds);
    if (status != CommandStatus::Unavailable) {
        printBuildTable(context.display, builds, options.serial);
    }
    if (json)
        json->builds(context, section, options.serial, builds, status == CommandStatus::Succeeded);
    return listingExit(status);
}

} // namespace

bool prepareStoreDirectory(UpdaterDisplayInterface& display, UpdaterOptions& options,
                           std::string& storeDirectory) {
    const StoreFolder folder = storeFolderFor(options.storeBase);
    if (folder.homeError != aErrNone) {
        Debug_Print(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n",
                    folder.homeError);
        // Without this line the run would end with status 1 and nothing on the screen.
        displayPrint(display, DISPLAY_ERROR,
                     "Could not find the home directory (error %d); use -i to name one",
                     static_cast<int>(folder.homeError));
        return false;
    }
    if (!folder.home.empty())
        options.homeDirectory = folder.home;
    options.storeBase = folder.base;
    if (folder.directory.empty()) {
        displayPrint(display, DISPLAY_ERROR, "Could not find updater directory at %s",
                     (folder.base + "/updater").c_str());
        return false;
    }
    storeDirectory = folder.directory;
    // aDirectory_Ensure creates rwxr-xr-x at most: group and others may read firmware, never
    // write it.
    if (aDirectory_Ensure(storeDirectory.c_str()) != aErrNone) {
        displayPrint(display, DISPLAY_ERROR, "Could not find updater directory at %s",
                     storeDirectory.c_str());
        return false;
    }
    return true;
}

int runCommands(UpdaterOptions& options, UpdaterContext& context, JsonReport* json) {
    // Each command's failures are its own in the report.
    const auto begin = [&] {
        if (json)
            json->begin(context);
    };
    begin();
    if (!checkRackOptions(options, context)) {
        return kExitFailure;
    }
    int rc = kExitSuccess;
    if ((options.flags & FLAG_FINGERPRINT) != 0) {
        const StepResult fingerprint = runFingerprint(options, context, json);
        if (fingerprint == StepResult::MissingInput) {
            return kExitFailure;
        }
        rc = exitStatus(fingerprint);
    }
    // A rack update fetches each module's build in that module's own job.
    if ((options.flags & FLAG_GET_BUILD) != 0 && !isRackUpdate(options)) {
        // Its result replaces the fingerprint's.
        begin();
        const StepResult get = runGet(options, context, json);
        if (get == StepResult::MissingInput) {
            return kExitFailure;
        }
        rc = exitStatus(get);
    }
    // After an interrupt nothing new starts; an update still says which modules it left alone.
    if (interruption::requested() && (options.flags & FLAG_UPDATE) == 0) {
        return kExitFailure;
    }
    // Exactly one of the following runs, the first asked for.
    begin();
    if ((options.flags & FLAG_DISCOVER) != 0) {
        DiscoveredDeviceList found;
        const DiscoverRequest request{.routerSerial = options.routerSerial,
                                      .transport = discoveryTransport(options),
                                      .found = &found};
        const CommandStatus status = discoverCommand(context, request);
        if (json)
            json->discover(context, request.routerSerial,
                           request.routerSerial != 0 || request.transport != 0 ? request.transport
                                                                               : USB,
                           found);
        return listingExit(status);
    }
    if ((options.flags & FLAG_UPDATE) != 0) {
        return runUpdate(options, context, json);
    }
    if ((options.flags & FLAG_LIST_BUILDS) != 0) {
        return runBuildList(options, context, listBuildsCommand,
                            "Error must supply a serial number for the List Builds command", json,
                            "list_builds");
    }
    if ((options.flags & FLAG_LIST_LOCAL) != 0) {
        return runBuildList(options, context, listLocalBuildsCommand,
                            "Error must supply a serial number for the List Local Builds command",
                            json, "list_local");
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
        if (json)
            json->token(context, options.serial, token, status == CommandStatus::Succeeded);
        return listingExit(status);
    }
    // -I (FLAG_DEVICE_INFO) and -C (FLAG_CHECK_BIRD) hook in here: they run when none of the
    // commands above did, after -N and -G, and their result joins rc. -Z starts nothing.
    if ((options.flags & FLAG_DEVICE_INFO) != 0) {
        StoredDevice found;
        const bool ok =
            deviceInfoCommand(context, options.serial, &found) == CommandStatus::Succeeded;
        if (json)
            json->deviceInfo(context, options.serial, found, ok);
        rc = ok ? rc : kExitFailure;
    }
    if ((options.flags & FLAG_CHECK_BIRD) != 0) {
        begin();
        BirdFile bird;
        const bool ok =
            checkBirdCommand(context, options.birdFile, &bird) == CommandStatus::Succeeded;
        if (json)
            json->checkBird(context, options.birdFile, ok ? &bird : nullptr, ok);
        rc = ok ? rc : kExitFailure;
    }
    return rc;
}

namespace {

// An interrupted run that left something undone ends as a shell expects of a program an interrupt
// ended (130 for SIGINT); one whose work was all done keeps its own status.
int finalStatus(int status) {
    return status != kExitSuccess && interruption::requested() ? interruption::exitStatus()
                                                               : status;
}

// Runs the commands through shown. With json, human text has moved to standard error and the
// document follows the run on standard output; the exit status is the run's own either way.
int runOptions(UpdaterDisplayInterface& shown, UpdaterOptions& options, JsonReport* json) {
    printVersionLine(shown);
    if ((options.flags & FLAG_HELP) != 0 || (options.flags & FLAG_ANY_COMMAND) == 0) {
        // Help is for people: the usage alone, with --json too.
        printUsage(options.extendedUsage, options.helpRequested);
        return kExitSuccess;
    }
    std::string storeDirectory;
    const std::string storeOption = options.storeBase; // prepareStoreDirectory fills it in
    if (!prepareStoreDirectory(shown, options, storeDirectory)) {
        if (json)
            json->write(stdout, nullptr, kExitFailure, FailureKind::Store);
        return kExitFailure;
    }
    UpdaterContext context(normaliseServerUrl(options.serverUrl), storeDirectory, shown);
    context.storeOption = storeOption;
    FILE* const progress = json ? stderr : stdout;
    context.terminal = streamIsInteractive(progress) ? progress : nullptr;
    const int status = finalStatus(runCommands(options, context, json));
    if (json)
        json->write(stdout, &context, status);
    return status;
}

} // namespace

int runUpdater(int argc, char** argv) {
    // First, while the process has no other thread: every thread started later leaves the
    // interrupts to the watcher.
    interruption::watch(stderr);
    CLI_Display display;
    Debug_SetSink(stderr);
    UpdaterOptions options;
    // Parsed through the report's display, so that with --json the rejected options are the
    // document's error too.
    JsonReport json(display);
    const int parsed = parseOptions(json.display(), argc, argv, options);
    if (options.json) {
        display.messagesToErrorStream();
    }
    if (parsed != 0) {
        printVersionLine(display);
        printUsage(false, false);
        if (options.json) {
            json.write(stdout, nullptr, kExitFailure);
        }
        return kExitFailure;
    }
    JsonReport* const report = options.json ? &json : nullptr;
    UpdaterDisplayInterface& shown = options.json ? json.display() : display;
    if (options.doctor && (options.flags & FLAG_HELP) == 0) {
        const int status = finalStatus(doctorCommand(shown, options, report));
        if (report)
            report->write(stdout, nullptr, status);
        return status;
    }
    return runOptions(shown, options, report);
}
