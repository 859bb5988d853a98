// Many modules at once: which modules (named, or every one with a newer build), the lanes they
// run in (modules behind one router share its bus and go one after another), a worker per lane up
// to --jobs, and the status each module shows while it runs and at the end.
#include "RackUpdate.h"
#include "FormattedText.h"

#include "BirdFile.h"
#include "BuildText.h"
#include "Interruption.h"
#include "ModuleAccess.h"
#include "Retrieval.h"
#include "UpdaterCommands.h"
#include "UpdaterOptions.h"
#include "UpdaterStore.h"

#include "corvane/aTime.h"
#include "StoreLayout.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr size_t kStatusWidth = 60;
constexpr const char* kNotStartedReason = "the run was interrupted before its update began";

std::string firmwareText(const FirmwareSeen& firmware) {
    if (!firmware.known)
        return "-";
    return formatted("%u.%u.%u (%u)", firmware.major, firmware.minor, firmware.patch,
                     firmware.build);
}

std::string imageText(const UpdateReport& report) {
    if (report.imageVersion.empty() && report.imageBuild == 0)
        return "-";
    std::string text = report.imageVersion.empty() ? "?" : report.imageVersion;
    if (report.imageBuild != 0)
        text += formatted(" (%u)", report.imageBuild);
    return text;
}

// One line per module while the run goes on. On a terminal the lines are redrawn in place,
// each with the module's latest state; elsewhere each module gets one line when it ends. Every
// write to the run's display happens under the board's lock, from whichever worker.
class RackBoard {
  public:
    RackBoard(UpdaterContext& context, const std::vector<ModuleOutcome>& outcomes)
        : context_(context), terminal_(context.run.terminal), status_(outcomes.size()) {
        for (size_t i = 0; i < outcomes.size(); ++i)
            status_[i] = {outcomes[i].serial, "waiting", ""};
    }

    void state(size_t index, const char* state, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        status_[index].state = state;
        status_[index].text = text;
        redraw(false);
    }
    void text(size_t index, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        status_[index].text = text;
        redraw(false);
    }
    // The module's last line: on a terminal its row, elsewhere a line of its own.
    void finished(size_t index, const ModuleOutcome& outcome) {
        std::lock_guard<std::mutex> lock(mutex_);
        Row& row = status_[index];
        row.state = resultName(outcome.result);
        row.text = summaryText(outcome);
        if (terminal_)
            redraw(true);
        else
            displayPrint(context_.display, DISPLAY_INFO, "%08X  %-8s  %s", row.serial,
                         row.state.c_str(), row.text.c_str());
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (terminal_)
            redraw(true);
    }

    static std::string summaryText(const ModuleOutcome& outcome) {
        switch (outcome.result) {
        case ModuleOutcome::Result::Updated:
            return firmwareText(outcome.report.before) + " -> " +
                   firmwareText(outcome.report.after) +
                   formatted(", %.1f s", outcome.report.totalMs / 1000.0);
        case ModuleOutcome::Result::Skipped:
        case ModuleOutcome::Result::NotStarted: return outcome.reason;
        case ModuleOutcome::Result::Failed:
            return outcome.errors.empty() ? std::string(failureKindName(outcome.failure.kind))
                                          : outcome.errors.front();
        }
        return {};
    }

  private:
    struct Row {
        uint32_t serial;
        std::string state;
        std::string text;
    };

    void redraw(bool force) {
        if (!terminal_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && drawn_ && now - lastDraw_ < kRedrawEvery)
            return;
        lastDraw_ = now;
        if (drawn_)
            fprintf(terminal_, "\x1b[%zuA", status_.size());
        for (const Row& row : status_) {
            std::string text = row.text.substr(0, kStatusWidth);
            fprintf(terminal_, "\r\x1b[K%08X  %-9s %s\n", row.serial, row.state.c_str(),
                    text.c_str());
        }
        fflush(terminal_);
        drawn_ = true;
    }

    UpdaterContext& context_;
    FILE* terminal_;
    std::mutex mutex_; // guards status_, the draw state and the run's display
    std::vector<Row> status_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// One module's display: it keeps the module's error lines for the report and shows its latest
// line and progress on the board; nothing of it reaches the console by itself.
class ModuleDisplay final : public UpdaterDisplayInterface {
  public:
    ModuleDisplay(RackBoard& board, size_t index) : board_(board), index_(index) {}

    void showProgress(bool) override {}
    void progress(double fraction, const char* label) override {
        const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
        if (percent == lastPercent_)
            return;
        lastPercent_ = percent;
        board_.text(index_, formatted("%s %3d%%", label ? label : "transfer", percent));
    }
    void spinner(bool on, const char* label) override {
        if (on && label)
            board_.text(index_, label);
    }
    void message(const char* text) override {
        lastPercent_ = -1;
        board_.text(index_, text);
    }
    void error(const char* text) override {
        errors.emplace_back(text);
        board_.text(index_, text);
    }

    std::vector<std::string> errors;

  private:
    RackBoard& board_;
    size_t index_;
    int lastPercent_ = -1;
};

struct Target {
    bool pending = false;   // to be updated; else its outcome is already settled
    uint8_t busAddress = 0; // behind a router; 0 lets the update look it up
    uint32_t build = 0;     // chosen by --all; 0 lets the update choose
};

// The image -f names for every module: its version, read once before any module starts.
struct GivenImage {
    std::string path; // empty without -f
    std::string versionText;
    std::optional<FirmwareVersion> version;
};

// The version of a stored build, from its file; nullopt when it has none or the file is not
// there.
std::optional<FirmwareVersion> storedVersion(const StoreEntry& entry, uint32_t build) {
    std::string version;
    if (build == 0 ||
        !BirdFile::readVersion(entry.pathOf(buildFileName(build)), version))
        return std::nullopt;
    return parseFirmwareVersion(version);
}

bool storeHolds(const StoreEntry& entry, uint32_t build) {
    return build != 0 && BirdFile::isBirdFile(entry.pathOf(buildFileName(build)));
}

// Why a module has no build for --all: without -G the server's latest is of use only once stored.
std::string noBuildReason(uint32_t serverBuild) {
    if (serverBuild == 0)
        return "no build for it in the store or on the server";
    return formatted("no build for it in the store; the server has build %u (-G fetches it)",
                     serverBuild);
}

// The build --all would install into a module and its version when known: -b's build; with -G the
// server's latest; else, as the update itself chooses, the server's latest when the store holds
// it, then the latest download, then the latest transfer. 0 when there is none, with why in none.
uint32_t candidateBuild(UpdaterContext& context, const RackRequest& request, uint32_t serial,
                        std::optional<FirmwareVersion>& version, std::string& none) {
    UpdaterStore store = UpdaterStore::lookOnly(context.run.storeDirectory);
    StoreEntry entry;
    const bool stored = store.findDevice(serial, &entry) && entry.isDirectory;
    if (const auto asked = parseBuildNumber(request.build); asked && *asked != 0) {
        if (stored)
            version = storedVersion(entry, *asked);
        return *asked;
    }
    std::string latest, firmwareId;
    uint32_t serverBuild = 0;
    if (context.run.server.QueryBuild(serial, latest, firmwareId, context.run.serverUrl))
        serverBuild = parseBuildNumber(latest.substr(0, latest.find('\r'))).value_or(0);
    if (serverBuild != 0 && request.get) {
        BuildList builds;
        if (context.run.server.GetBuildList(serial, builds, context.run.serverUrl))
            if (auto it = builds.find(std::to_string(serverBuild)); it != builds.end())
                version = parseFirmwareVersion(it->second);
        return serverBuild;
    }
    if (!stored) {
        none = noBuildReason(serverBuild);
        return 0;
    }
    uint32_t build = storeHolds(entry, serverBuild) ? serverBuild : 0;
    for (const char* key : {"LATEST_DOWNLOAD", "LATEST_TRANSFER"})
        if (build == 0)
            build = static_cast<uint32_t>(std::max(0, entry.attributes.getInt(key, 0)));
    if (build == 0)
        none = noBuildReason(serverBuild);
    version = storedVersion(entry, build);
    return build;
}

// The modules --all finds, each with what it runs; modules behind the router when one is given.
DiscoveredDeviceList findRack(UpdaterContext& context, const RackRequest& request) {
    if (request.routerSerial != 0)
        return scanNetwork(context, request.routerSerial, request.transport);
    std::vector<std::string> leftOut;
    DiscoveredDeviceList found =
        discoverModules(context, request.transport != 0 ? request.transport : USB, {}, &leftOut);
    for (const std::string& line : leftOut)
        displayPrint(context.display, DISPLAY_ERROR, "%s", line.c_str());
    return found;
}

// --all: every module found whose candidate build is newer than what it runs. Versions decide
// when both are known; else a higher build number does. A module that cannot be read fails.
void selectRack(UpdaterContext& context, const RackRequest& request, const GivenImage& given,
                std::vector<ModuleOutcome>& outcomes, std::vector<Target>& targets) {
    for (const DiscoveredDevice& device : findRack(context, request)) {
        ModuleOutcome outcome;
        outcome.serial = device.spec.serialNumber;
        Target target;
        target.busAddress = static_cast<uint8_t>(device.networkAddress);
        if (device.error != aErrNone) {
            outcome.failure.note(reachFailureKind(device.error), device.error);
            outcome.errors.push_back(formatted("Could not read module [%08X]: %s", outcome.serial,
                                               aError_GetErrorDescription(device.error)));
            outcome.result = ModuleOutcome::Result::Failed;
        } else {
            const FirmwareVersion running{device.versionMajor, device.versionMinor,
                                          device.versionPatch};
            outcome.report.before = {true, device.build, running.major, running.minor,
                                     running.patch};
            if (!given.path.empty()) {
                // The image is the same for every module: only those running an older version
                // get it, so --all never installs an older image over a newer one.
                if (*given.version > running) {
                    target.pending = true;
                } else {
                    outcome.result = ModuleOutcome::Result::Skipped;
                    outcome.reason = formatted("runs %s; the image's version %s is not newer",
                                               firmwareText(outcome.report.before).c_str(),
                                               given.versionText.c_str());
                }
                outcomes.push_back(std::move(outcome));
                targets.push_back(target);
                continue;
            }
            std::optional<FirmwareVersion> version;
            std::string none;
            target.build = candidateBuild(context, request, outcome.serial, version, none);
            const bool newer = version ? *version > running : target.build > device.build;
            if (target.build == 0) {
                outcome.result = ModuleOutcome::Result::Skipped;
                outcome.reason = none;
            } else if (!newer) {
                outcome.result = ModuleOutcome::Result::Skipped;
                outcome.reason =
                    formatted("runs %s; build %u is not newer",
                              firmwareText(outcome.report.before).c_str(), target.build);
            } else {
                target.pending = true;
            }
        }
        outcomes.push_back(std::move(outcome));
        targets.push_back(target);
    }
}

// Named modules behind a router: one scan finds all their bus addresses, rather than one each.
void locateOnBus(UpdaterContext& context, const RackRequest& request,
                 std::vector<ModuleOutcome>& outcomes, std::vector<Target>& targets) {
    const DiscoveredDeviceList found = scanNetwork(context, request.routerSerial, 0);
    for (size_t i = 0; i < outcomes.size(); ++i)
        for (const DiscoveredDevice& device : found)
            if (device.spec.serialNumber == outcomes[i].serial)
                targets[i].busAddress = static_cast<uint8_t>(device.networkAddress);
}

// With -f every module's target is that image, whether or not its update got as far as loading it.
void showGivenImage(const GivenImage& given, ModuleOutcome& outcome) {
    if (given.path.empty())
        return;
    if (outcome.report.imagePath.empty())
        outcome.report.imagePath = given.path;
    if (outcome.report.imageVersion.empty())
        outcome.report.imageVersion = given.versionText;
}

// The version of the image -f names, read before anything starts. False, with the error shown,
// when it has none: --all could not tell which modules it is newer for.
bool readGivenImage(UpdaterContext& context, const RackRequest& request, GivenImage& given) {
    if (request.birdFile.empty())
        return true;
    given.path = request.birdFile;
    if (BirdFile::readVersion(given.path, given.versionText))
        given.version = parseFirmwareVersion(given.versionText);
    if (given.version || !request.all)
        return true;
    displayPrint(context.display, DISPLAY_ERROR,
                 "The version of %s cannot be read, so --all cannot tell which modules it is "
                 "newer for",
                 given.path.c_str());
    return false;
}

// One module: the get when asked for, then the update, on its own context. Nothing it throws
// reaches another module.
void runModule(const UpdaterContext& run, const RackRequest& request, const GivenImage& given,
               RackBoard& board, size_t index, ModuleOutcome& outcome, const Target& target) {
    if (interruption::requested()) {
        outcome.result = ModuleOutcome::Result::NotStarted;
        outcome.reason = kNotStartedReason;
        showGivenImage(given, outcome);
        board.finished(index, outcome);
        return;
    }
    ModuleDisplay display(board, index);
    UpdaterContext context(run.run, display);
    const uint32_t serial = outcome.serial;
    bool updated = false;
    try {
        uint32_t build = target.build;
        bool ready = true;
        if (request.get) {
            board.state(index, "getting", "");
            outcome.getAsked = true;
            outcome.fetchedBuild = getBuildCommand(
                context, {.serial = serial, .build = request.build, .override = request.override});
            build = outcome.fetchedBuild;
            ready = build != 0;
        } else if (build == 0 && !request.build.empty()) {
            build = parseBuildNumber(request.build).value_or(0);
        }
        if (ready) {
            board.state(index, "updating", "");
            updated = updateCommand(context, {.serial = serial,
                                              .build = build,
                                              .birdFile = request.birdFile,
                                              .moduleAddress = target.busAddress,
                                              .routerSerial = request.routerSerial,
                                              .override = request.override});
        }
    } catch (const std::exception& e) {
        displayPrint(display, DISPLAY_ERROR, "Update of module [%08X] stopped: %s", serial,
                     e.what());
    }
    const std::vector<std::string> errors = display.errors;
    const uint32_t fetched = outcome.fetchedBuild; // kept when the update stops before its image
    outcome = singleOutcome(context, serial, updated, errors);
    outcome.getAsked = request.get;
    outcome.fetchedBuild = fetched;
    if (target.busAddress != 0 && outcome.report.busAddress == 0)
        outcome.report.busAddress = target.busAddress;
    showGivenImage(given, outcome);
    board.finished(index, outcome);
}

void printSummary(UpdaterDisplayInterface& display, const std::vector<ModuleOutcome>& outcomes) {
    displayPrint(display, DISPLAY_INFO, "Update summary:");
    displayPrint(display, DISPLAY_INFO, "    %-8s  %-20s  %-20s  %9s  %s", "Device", "From", "To",
                 "Time", "Outcome");
    for (const ModuleOutcome& outcome : outcomes) {
        const UpdateReport& report = outcome.report;
        const std::string to = outcome.result == ModuleOutcome::Result::Updated
                                   ? firmwareText(report.after)
                                   : imageText(report);
        const std::string time =
            report.totalMs != 0 ? formatted("%.1f s", report.totalMs / 1000.0) : "-";
        displayPrint(display, DISPLAY_INFO, "    %08X  %-20.20s  %-20.20s  %9s  %s", outcome.serial,
                     firmwareText(report.before).c_str(), to.c_str(), time.c_str(),
                     resultName(outcome.result));
    }
}

// A failed run names the modules that failed, then gives each one's error lines.
void printFailures(UpdaterDisplayInterface& display, const std::vector<ModuleOutcome>& outcomes) {
    std::string names;
    size_t failed = 0;
    for (const ModuleOutcome& outcome : outcomes) {
        if (outcome.result != ModuleOutcome::Result::Failed)
            continue;
        names += formatted("%s%08X", failed == 0 ? "" : ", ", outcome.serial);
        ++failed;
    }
    if (failed == 0)
        return;
    displayPrint(display, DISPLAY_ERROR, "Update failed for %zu of %zu modules: %s", failed,
                 outcomes.size(), names.c_str());
    for (const ModuleOutcome& outcome : outcomes)
        if (outcome.result == ModuleOutcome::Result::Failed)
            for (const std::string& line : outcome.errors)
                displayPrint(display, DISPLAY_ERROR, "[%08X] %s", outcome.serial, line.c_str());
}

} // namespace

const char* resultName(ModuleOutcome::Result result) {
    switch (result) {
    case ModuleOutcome::Result::Updated: return "updated";
    case ModuleOutcome::Result::Failed: return "failed";
    case ModuleOutcome::Result::Skipped: return "skipped";
    case ModuleOutcome::Result::NotStarted: return "not started";
    }
    return "failed";
}

const char* resultKey(ModuleOutcome::Result result) {
    return result == ModuleOutcome::Result::NotStarted ? "not_started" : resultName(result);
}

ModuleOutcome singleOutcome(const UpdaterContext& context, uint32_t serial, bool updated,
                            const std::vector<std::string>& errors) {
    ModuleOutcome outcome;
    outcome.serial = serial;
    outcome.result = updated ? ModuleOutcome::Result::Updated : ModuleOutcome::Result::Failed;
    outcome.report = context.updateReport;
    outcome.failure = context.failure;
    if (!updated && outcome.failure.noted && outcome.failure.kind == FailureKind::Interrupted) {
        outcome.result = ModuleOutcome::Result::NotStarted;
        outcome.reason = kNotStartedReason;
        return outcome;
    }
    if (!updated && !outcome.failure.noted)
        outcome.failure.note(FailureKind::Failed);
    outcome.errors = errors;
    return outcome;
}

bool rackUpdateCommand(UpdaterContext& context, const RackRequest& request,
                       std::vector<ModuleOutcome>& outcomes, uint32_t* jobsUsed) {
    outcomes.clear();
    std::vector<Target> targets;
    GivenImage given;
    if (!readGivenImage(context, request, given))
        return false;
    if (request.all) {
        displayPrint(context.display, DISPLAY_INFO,
                     "Looking for modules with a newer build than they run");
        selectRack(context, request, given, outcomes, targets);
    } else {
        for (const uint32_t serial : request.serials) {
            ModuleOutcome outcome;
            outcome.serial = serial;
            outcomes.push_back(std::move(outcome));
            targets.push_back({.pending = true});
        }
        if (request.routerSerial != 0)
            locateOnBus(context, request, outcomes, targets);
    }
    // Each lane runs its modules one after another; lanes run side by side. All modules behind
    // one router share its bus, so they form one lane.
    std::vector<std::vector<size_t>> lanes;
    size_t pending = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        if (!targets[i].pending)
            continue;
        ++pending;
        if (request.routerSerial != 0 && !lanes.empty())
            lanes.front().push_back(i);
        else
            lanes.push_back({i});
    }
    const size_t jobs =
        std::min<size_t>(request.jobs != 0 ? request.jobs : kDefaultJobs, lanes.size());
    displayPrint(context.display, DISPLAY_INFO, "Updating %zu module%s, %zu at once", pending,
                 pending == 1 ? "" : "s", jobs);
    if (jobsUsed)
        *jobsUsed = static_cast<uint32_t>(jobs);

    RackBoard board(context, outcomes);
    for (size_t i = 0; i < outcomes.size(); ++i) {
        if (targets[i].pending)
            continue;
        showGivenImage(given, outcomes[i]);
        board.finished(i, outcomes[i]);
    }
    std::atomic<size_t> nextLane{0};
    auto worker = [&] {
        for (size_t lane = nextLane++; lane < lanes.size(); lane = nextLane++)
            for (const size_t index : lanes[lane])
                runModule(context, request, given, board, index, outcomes[index], targets[index]);
    };
    std::vector<std::thread> workers;
    for (size_t i = 1; i < jobs; ++i) {
        try {
            workers.emplace_back(worker);
        } catch (const std::system_error&) {
            break; // fewer threads to be had: the lanes left run on those there are
        }
    }
    worker(); // this thread is a worker too, so the run goes on without any thread to spare
    for (std::thread& thread : workers)
        thread.join();
    board.close();

    printSummary(context.display, outcomes);
    printFailures(context.display, outcomes);
    return std::none_of(outcomes.begin(), outcomes.end(), [](const ModuleOutcome& outcome) {
        return outcome.result == ModuleOutcome::Result::Failed ||
               outcome.result == ModuleOutcome::Result::NotStarted;
    });
}
