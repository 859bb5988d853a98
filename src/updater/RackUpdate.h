// Updating many modules at once (-U with several -d, or --all): each module's update runs on its
// own context and display, so one that fails, vanishes or refuses never stops or corrupts another.
#pragma once

#include "CommandFailure.h"
#include "UpdaterContext.h"

#include <cstdint>
#include <string>
#include <vector>

struct RackRequest {
    std::vector<uint32_t> serials; // the modules named with -d; empty with all
    bool all = false;              // every module found that has a newer build
    bool get = false;              // -G: fetch each module's build from the server first
    std::string build;             // -b, decimal text; empty for the latest
    std::string birdFile;          // -f, one image for every module (its serial is written in)
    uint32_t routerSerial = 0;     // modules behind this router; they share its bus
    int transport = 0;             // where --all looks: 1 USB, 2 TCP/IP, 0 USB
    bool override = false;
    uint32_t jobs = 0; // updates at once; 0 = kDefaultJobs
};

// How one module's part of the run ended.
struct ModuleOutcome {
    // NotStarted: an interrupt came before its update began; its firmware is as it was.
    enum class Result { Updated, Failed, Skipped, NotStarted };

    uint32_t serial = 0;
    Result result = Result::Failed;
    std::string reason;              // why a module was skipped or not started
    UpdateReport report;             // what its update saw
    FailureNote failure;             // why it failed
    std::vector<std::string> errors; // the error lines its update showed, in order
    bool getAsked = false;           // -G ran for it
    uint32_t fetchedBuild = 0;       // what -G fetched; 0 when it failed
};

// As the summary shows it ("not started"), and as the JSON document names it ("not_started").
const char* resultName(ModuleOutcome::Result result);
const char* resultKey(ModuleOutcome::Result result);

// Runs the rack update; the outcomes come in the order the modules were named or found. After an
// interrupt no module starts its update; the modules whose loader started finish. Shows
// a live status table when context.run.terminal is set, else one line per module as it ends; then a
// summary table and, when any failed, their names and errors. True when every module that was
// to be updated was.
// jobsUsed, when given, receives how many ran at once.
bool rackUpdateCommand(UpdaterContext& context, const RackRequest& request,
                       std::vector<ModuleOutcome>& outcomes, uint32_t* jobsUsed = nullptr);

// The outcome of a single -U, from its context, in the same form: an update an interrupt stopped
// before it began is not started.
ModuleOutcome singleOutcome(const UpdaterContext& context, uint32_t serial, bool updated,
                            const std::vector<std::string>& errors);
