// The run context that the driver builds once and hands to every command.
#pragma once

#include "CommandFailure.h"
#include "ServerCommClass.h"
#include "UpdaterDisplayInterface.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

// Which boot loader the fingerprint step found; the recovery command reads it.
enum RecoveryChip : uint8_t {
    RECOVERY_CHIP_UNKNOWN = 0,
    RECOVERY_CHIP_IMX_SDP = 1, // i.MX serial download loader
    RECOVERY_CHIP_NXP_ISP = 2, // NXP serial ISP
};

// How long the update flow waits on a module that restarts after REBOOT. Tests shorten them.
struct RestartWaits {
    uint32_t linkDropMs = 60000; // for its link to drop: a real module first writes its image
    uint32_t comeBackMs = 15000; // then for it to be reached again
};

// What the whole run works with: set by the driver before the first command and read-only from
// then on, so every command and every module of a rack update sees the same, whole.
struct RunSettings {
    RunSettings(std::string serverUrl_, std::string storeDirectory_)
        : serverUrl(std::move(serverUrl_)), storeDirectory(std::move(storeDirectory_)) {}

    std::string serverUrl;      // full update server endpoint, e.g. "http://127.0.0.1:8380/cgi/u"
    std::string storeDirectory; // the prepared store directory (<base>/updater); it exists
    std::string storeOption;    // -i as given, for commands shown to the user; empty: the default
    ServerCommClass server;     // the one update-server client every flow asks serverUrl with
    bool useUeiBytes = false;   // -m: data transfers as UEI byte arrays where the module has them
    RestartWaits restartWaits;
    // Where the recovery advice looks for the serial port of a module left in its loader.
    std::string deviceDirectory = "/dev";
    // One step of the get command's spinner: given a wait for the download (true once it is
    // done), waits a step and says whether the download is done. Unset, a step is 100 ms; tests
    // set it to pace the spinner without a clock.
    std::function<bool(const std::function<bool(std::chrono::milliseconds)>& done)> spinnerStep;
    // Where a live status table may be redrawn in place; null when output is not a terminal.
    FILE* terminal = nullptr;
};

// One command's context: the run's settings, the display its lines go to, and what the command
// finds out. Made fresh for each command, and for each module of a rack update, so no two of
// them share a result.
struct UpdaterContext {
    UpdaterContext(RunSettings settings, UpdaterDisplayInterface& display_)
        : run(std::move(settings)), display(display_) {}
    UpdaterContext(std::string serverUrl, std::string storeDirectory,
                   UpdaterDisplayInterface& display_)
        : UpdaterContext(RunSettings(std::move(serverUrl), std::move(storeDirectory)), display_) {}

    const RunSettings run;
    UpdaterDisplayInterface& display; // owned by the driver, outlives every command

    uint8_t recoveryChip = RECOVERY_CHIP_UNKNOWN; // written by the fingerprint step
    // Why the command failed and what an update saw, for the machine-readable report.
    FailureNote failure;
    UpdateReport updateReport;
};
