// The Updater's driver: parses the command line, prepares the store and runs the commands in
// their fixed order. Commands report their own failures; only this file picks the exit status.
#include "UpdaterDriver.h"

#include "BirdFile.h"
#include "BuildText.h"
#include "CLI_Display.h"
#include "CaFile.h"
#include "Debug.h"
#include "Doctor.h"
#include "InspectCommands.h"
#include "Interruption.h"
#include "PrintableText.h"
#include "RackUpdate.h"
#include "ResultTables.h"
#include "ServerUrl.h"
#include "StoreLayout.h"
#include "UpdaterCommands.h"

#include "corvane/aDirectory.h"

#include <chrono>
#include <cstdlib>
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

// Several -d with -U, or --all: the modules update side by side (-G, when given, runs for each
// of them in its own job).
bool isRackUpdate(const UpdaterOptions& options) {
    return (options.flags & FLAG_UPDATE) != 0 && options.transport != TRANSPORT_RECOVER &&
           (options.allModules || options.serials.size() > 1);
}

// One command as the driver runs it: the options, the command's own context and the report.
struct CommandCall {
    UpdaterOptions& options;
    UpdaterContext& context;
    JsonReport* json;
    MetricsFile* metrics;
};

double secondsSinceEpoch() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// How a command ended. EndRun: it lacked an input it needs, which ends the run with 1 at once.
enum class Ran { Ok, Failed, EndRun };

Ran ranIf(bool ok) {
    return ok ? Ran::Ok : Ran::Failed;
}

// A listing that ran reports its own failures and the run still succeeds (the result is on
// screen); only a command missing from this build fails the run.
Ran listed(CommandStatus status) {
    return ranIf(status != CommandStatus::Unavailable);
}

// -B, -L and -J refuse to start without a serial number, with the short usage as a reminder.
bool requireSerial(CommandCall& call, const char* message) {
    if (call.options.serial != 0) {
        return true;
    }
    displayPrint(call.context.display, DISPLAY_ERROR, "%s", message);
    printUsage(false, false);
    return false;
}

Ran runFingerprint(CommandCall& call) {
    const UpdaterOptions& options = call.options;
    UpdaterContext& context = call.context;
    if (options.serialPort.empty()) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Must specify the serial port used for connecting");
        return Ran::EndRun;
    }
    std::array<uint32_t, 4> words{};
    const CommandStatus status = fingerprintCommand(context, {.serialPort = options.serialPort,
                                                              .serial = kFingerprintSerial,
                                                              .birdFile = options.birdFile,
                                                              .baudRate = options.baudRate,
                                                              .resetAfter = true},
                                                    words);
    if (call.json)
        call.json->fingerprint(context, options.serialPort, status == CommandStatus::Succeeded,
                               words);
    if (status == CommandStatus::Succeeded) {
        displayPrint(context.display, DISPLAY_INFO, "[ %08X %08X %08X %08X ]", words[0], words[1],
                     words[2], words[3]);
        return Ran::Ok;
    }
    if (status == CommandStatus::Failed) {
        displayPrint(context.display, DISPLAY_ERROR, "Got no response from chip");
    }
    return Ran::Failed;
}

Ran runGet(CommandCall& call) {
    UpdaterOptions& options = call.options;
    UpdaterContext& context = call.context;
    if (options.serial == 0) {
        displayPrint(context.display, DISPLAY_ERROR, "-G must specify a specific device via -d");
        displayPrint(context.display, DISPLAY_ERROR, "--help for usage information");
        return Ran::EndRun;
    }
    const uint32_t fetched = getBuildCommand(
        context, {.serial = options.serial, .build = options.build, .override = options.override});
    if (call.json)
        call.json->get(context, options.serial, options.build, fetched);
    if (call.metrics)
        call.metrics->fetched(options.serial, fetched, secondsSinceEpoch());
    if (fetched == 0) {
        return Ran::Failed;
    }
    // A following -U installs exactly the build just fetched.
    options.build = std::to_string(fetched);
    return Ran::Ok;
}

Ran runDiscover(CommandCall& call) {
    const UpdaterOptions& options = call.options;
    DiscoveredDeviceList found;
    const DiscoverRequest request{.routerSerial = options.routerSerial,
                                  .transport = discoveryTransport(options),
                                  .found = &found};
    const CommandStatus status = discoverCommand(call.context, request);
    if (call.json)
        call.json->discover(call.context, request.routerSerial,
                            request.routerSerial != 0 || request.transport != 0 ? request.transport
                                                                                : USB,
                            found);
    if (call.metrics)
        call.metrics->discovered(found);
    return listed(status);
}

Ran runRackUpdate(CommandCall& call) {
    const UpdaterOptions& options = call.options;
    const RackRequest request{.serials = options.serials,
                              .all = options.allModules,
                              .get = (options.flags & FLAG_GET_BUILD) != 0,
                              .build = options.build,
                              .birdFile = options.birdFile,
                              .routerSerial = options.routerSerial,
                              .transport = discoveryTransport(options),
                              .override = options.override,
                              .jobs = options.jobs};
    std::vector<ModuleOutcome> outcomes;
    uint32_t jobs = 0;
    const bool ok = rackUpdateCommand(call.context, request, outcomes, &jobs);
    if (call.json)
        call.json->update(jobs, outcomes, call.context.run.storeDirectory);
    if (call.metrics)
        call.metrics->updated(outcomes, secondsSinceEpoch());
    return ranIf(ok);
}

Ran runUpdate(CommandCall& call) {
    const UpdaterOptions& options = call.options;
    UpdaterContext& context = call.context;
    if (isRackUpdate(options))
        return runRackUpdate(call);
    // No build text means the latest build. -b and -G only ever leave a build number here; any
    // other text must not quietly become "the latest".
    const auto parsed =
        options.build.empty() ? std::optional<uint32_t>(0) : parseBuildNumber(options.build);
    if (!parsed) {
        displayPrint(context.display, DISPLAY_ERROR, "Build number '%s' must be an number",
                     options.build.c_str());
        return Ran::Failed;
    }
    const uint32_t build = *parsed;
    if (options.transport == TRANSPORT_RECOVER) {
        const bool ok = recoverCommand(context, {.serialPort = options.serialPort,
                                                 .build = build,
                                                 .baudRate = options.baudRate,
                                                 .serial = options.serial,
                                                 .birdFile = options.birdFile,
                                                 .override = options.override});
        if (call.json)
            call.json->recover(context, options.serialPort, ok);
        return ranIf(ok);
    }
    if (options.serial == 0) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Must specify the specific device to be updated");
        return Ran::Failed;
    }
    const bool ok = updateCommand(context, {.serial = options.serial,
                                            .build = build,
                                            .birdFile = options.birdFile,
                                            .moduleAddress = options.moduleAddress,
                                            .routerSerial = options.routerSerial,
                                            .override = options.override,
                                            .serialPort = options.serialPort});
    if (call.json)
        call.json->update(1,
                          {singleOutcome(context, options.serial, ok,
                                         call.json->errorsSinceBegin())},
                          context.run.storeDirectory);
    if (call.metrics)
        call.metrics->updated({singleOutcome(context, options.serial, ok, {})},
                              secondsSinceEpoch());
    return ranIf(ok);
}

// -B and -L: the server's or the store's builds as a build table.
Ran runBuildList(CommandCall& call,
                 CommandStatus (*command)(UpdaterContext&, uint32_t, BuildList&),
                 const char* missingSerialMessage, const char* section) {
    if (!requireSerial(call, missingSerialMessage)) {
        return Ran::Failed;
    }
    BuildList builds;
    const CommandStatus status = command(call.context, call.options.serial, builds);
    if (status != CommandStatus::Unavailable) {
        printBuildTable(call.context.display, builds, call.options.serial);
    }
    if (call.json)
        call.json->builds(call.context, section, call.options.serial, builds,
                          status == CommandStatus::Succeeded);
    return listed(status);
}

Ran runListBuilds(CommandCall& call) {
    return runBuildList(call, listBuildsCommand,
                        "Error must supply a serial number for the List Builds command",
                        "list_builds");
}

Ran runListLocal(CommandCall& call) {
    return runBuildList(call, listLocalBuildsCommand,
                        "Error must supply a serial number for the List Local Builds command",
                        "list_local");
}

Ran runToken(CommandCall& call) {
    if (!requireSerial(call, "Error must supply a serial number for the Get JWT command")) {
        return Ran::Failed;
    }
    std::string token;
    const CommandStatus status = getTokenCommand(call.context, call.options.serial, token);
    if (status != CommandStatus::Unavailable) {
        displayPrint(call.context.display, DISPLAY_INFO, "%s", printableText(token).c_str());
    }
    if (call.json)
        call.json->token(call.context, call.options.serial, token,
                         status == CommandStatus::Succeeded);
    return listed(status);
}

Ran runDeviceInfo(CommandCall& call) {
    StoredDevice found;
    const bool ok =
        deviceInfoCommand(call.context, call.options.serial, &found) == CommandStatus::Succeeded;
    if (call.json)
        call.json->deviceInfo(call.context, call.options.serial, found, ok);
    return ranIf(ok);
}

Ran runCheckBird(CommandCall& call) {
    BirdFile bird;
    const bool ok = checkBirdCommand(call.context, call.options.birdFile, &bird) ==
                    CommandStatus::Succeeded;
    if (call.json)
        call.json->checkBird(call.context, call.options.birdFile, ok ? &bird : nullptr, ok);
    return ranIf(ok);
}

// Where a command stands in the fixed order:
//   Ahead:    -N and -G run first, each when asked; the later one's result is the run's so far.
//   Main:     exactly one of these runs, the first asked for, and its result is the run's.
//   Inspect:  when no main command ran, each asked for runs and a failure fails the run.
enum class Phase { Ahead, Main, Inspect };

struct Command {
    uint32_t flag;
    Phase phase;
    Ran (*run)(CommandCall&);
};

constexpr Command kCommands[] = {
    {FLAG_FINGERPRINT, Phase::Ahead, runFingerprint},
    {FLAG_GET_BUILD, Phase::Ahead, runGet},
    {FLAG_DISCOVER, Phase::Main, runDiscover},
    {FLAG_UPDATE, Phase::Main, runUpdate},
    {FLAG_LIST_BUILDS, Phase::Main, runListBuilds},
    {FLAG_LIST_LOCAL, Phase::Main, runListLocal},
    {FLAG_GET_JWT, Phase::Main, runToken},
    {FLAG_DEVICE_INFO, Phase::Inspect, runDeviceInfo},
    {FLAG_CHECK_BIRD, Phase::Inspect, runCheckBird},
};

// Whether the command runs here: asked for, and (for -G) not left to each module of a rack.
bool asked(const Command& command, const UpdaterOptions& options) {
    if ((options.flags & command.flag) == 0)
        return false;
    return command.flag != FLAG_GET_BUILD || !isRackUpdate(options);
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

RunSettings runSettings(const UpdaterOptions& options, const std::string& storeDirectory,
                        const std::string& storeOption) {
    RunSettings settings(normaliseServerUrl(options.serverUrl), storeDirectory);
    settings.storeOption = storeOption;
    settings.useUeiBytes = options.useUeiBytes;
    ServerCommSettings comm;
    comm.caFile = options.caFile;
    settings.server = ServerCommClass(comm);
    return settings;
}

int runCommands(UpdaterOptions& options, const RunSettings& run, UpdaterDisplayInterface& display,
                JsonReport* json, FailureNote* lastFailure, MetricsFile* metrics) {
    int status = kExitSuccess;
    // Each command runs on a fresh context, so its failures and findings are its own.
    auto runOne = [&](const Command* command) {
        UpdaterContext context(run, display);
        if (json)
            json->begin(context);
        Ran ran = Ran::Failed;
        if (command == nullptr) {
            ran = checkRackOptions(options, context) ? Ran::Ok : Ran::EndRun;
        } else {
            CommandCall call{options, context, json, metrics};
            ran = command->run(call);
        }
        if (lastFailure)
            *lastFailure = context.failure;
        return ran;
    };
    if (runOne(nullptr) == Ran::EndRun)
        return kExitFailure;
    for (const Command& command : kCommands) {
        if (!asked(command, options))
            continue;
        // After an interrupt nothing new starts; an update still says which modules it left alone.
        if (command.phase != Phase::Ahead && command.flag != FLAG_UPDATE &&
            interruption::requested())
            return kExitFailure;
        const Ran ran = runOne(&command);
        if (ran == Ran::EndRun)
            return kExitFailure;
        const int result = ran == Ran::Ok ? kExitSuccess : kExitFailure;
        switch (command.phase) {
        case Phase::Ahead: status = result; break;
        case Phase::Main: return result; // the inspections run only without one
        case Phase::Inspect: status = result == kExitSuccess ? status : kExitFailure; break;
        }
    }
    return status;
}

namespace {

// An interrupted run that left something undone ends as a shell expects of a program an interrupt
// ended (130 for SIGINT); one whose work was all done keeps its own status.
int finalStatus(int status) {
    return status != kExitSuccess && interruption::requested() ? interruption::exitStatus()
                                                               : status;
}

// The run's metrics file, once for the whole run (a rack update included). A file that cannot be
// written costs the run nothing: the updates are done, and their report stands.
void writeMetrics(UpdaterDisplayInterface& shown, const std::string& path,
                  const MetricsFile& metrics) {
    if (path.empty() || metrics.empty())
        return;
    std::string problem;
    if (!writeMetricsFile(path, metrics.text(secondsSinceEpoch()), problem))
        displayPrint(shown, DISPLAY_INFO, "Warning: metrics not written: %s", problem.c_str());
}

// The lab's certificate authority file, from --ca-file or else the environment, checked before
// any command reaches a server, so a wrong file is not taken for an untrusted server.
bool trustedAuthorities(UpdaterDisplayInterface& shown, UpdaterOptions& options) {
    if (options.caFile.empty()) {
        const char* fromEnvironment = std::getenv(kCaFileVariable);
        options.caFile = fromEnvironment ? fromEnvironment : "";
    }
    std::string problem;
    if (options.caFile.empty() || checkCaFile(options.caFile, problem)) {
        return true;
    }
    displayPrint(shown, DISPLAY_ERROR, "Certificate authority file not usable: %s",
                 problem.c_str());
    return false;
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
    if (!trustedAuthorities(shown, options)) {
        if (json)
            json->write(stdout, nullptr, kExitFailure, FailureKind::Tls);
        return kExitFailure;
    }
    std::string storeDirectory;
    const std::string storeOption = options.storeBase; // prepareStoreDirectory fills it in
    if (!prepareStoreDirectory(shown, options, storeDirectory)) {
        if (json)
            json->write(stdout, nullptr, kExitFailure, FailureKind::Store);
        return kExitFailure;
    }
    RunSettings settings = runSettings(options, storeDirectory, storeOption);
    FILE* const progress = json ? stderr : stdout;
    settings.terminal = streamIsInteractive(progress) ? progress : nullptr;
    FailureNote lastFailure;
    MetricsFile metrics;
    const int status = finalStatus(runCommands(options, settings, shown, json, &lastFailure,
                                               options.metricsFile.empty() ? nullptr : &metrics));
    writeMetrics(shown, options.metricsFile, metrics);
    if (json)
        json->write(stdout, &lastFailure, status);
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
