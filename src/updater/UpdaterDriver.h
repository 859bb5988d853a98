// The Updater's driver: command line to options, store directory, context, then the commands in
// their fixed order. The only place that chooses the exit status.
#pragma once

#include "CorvaneVersion.h"
#include "JsonReport.h"
#include "UpdaterContext.h"
#include "UpdaterOptions.h"

#include <string>

// The version line's parts, e.g. "Updater (Version: 2.11.4 Sep 23 2025)".
inline constexpr const char* kUpdaterName = "Updater";
inline constexpr const char* kUpdaterVersion =
    "Version: " CORVANE_VERSION_TEXT " " CORVANE_RELEASE_DATE;

// Runs one Updater invocation on the process's console and returns the exit status (0 or 1).
int runUpdater(int argc, char** argv);

// The store directory for the options: storeBase (or the home directory joined with ".quendra")
// joined with "updater", created with its parents. False, with the error shown, when it cannot
// be found or made.
bool prepareStoreDirectory(UpdaterDisplayInterface& display, UpdaterOptions& options,
                           std::string& storeDirectory);

// Runs the requested commands in their fixed order (-N, -G, then one of -D, -U, -B, -L, -J) and
// returns the exit status. With json, each command adds its section to it.
int runCommands(UpdaterOptions& options, UpdaterContext& context, JsonReport* json = nullptr);
