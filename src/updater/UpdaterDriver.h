// The Updater's driver: command line to options, store directory, context, then the commands in
// their fixed order. The only place that chooses the exit status.
#pragma once

#include "JsonReport.h"
#include "MetricsFile.h"
#include "ProgramIdentity.h"
#include "UpdaterContext.h"
#include "UpdaterOptions.h"

#include <string>

// Runs one Updater invocation on the process's console and returns the exit status (0 or 1).
int runUpdater(int argc, char** argv);

// The store directory for the options: storeBase (or the home directory joined with ".quendra")
// joined with "updater", created with its parents. False, with the error shown, when it cannot
// be found or made.
bool prepareStoreDirectory(UpdaterDisplayInterface& display, UpdaterOptions& options,
                           std::string& storeDirectory);

// The run's settings from the options: the server, the store prepared by prepareStoreDirectory,
// -i as given, -m. The driver adds what the console decides (the terminal).
RunSettings runSettings(const UpdaterOptions& options, const std::string& storeDirectory,
                        const std::string& storeOption);

// Runs the requested commands in their fixed order (-N, -G, then one of -D, -U, -B, -L, -J, else
// -I and -C), each on a fresh context of the run's settings, and returns the exit status. With
// json, each command adds its section to it. lastFailure, when given, receives the failure note
// of the last command that ran. metrics, when given, gets what -D, -G and -U found and did.
int runCommands(UpdaterOptions& options, const RunSettings& run, UpdaterDisplayInterface& display,
                JsonReport* json = nullptr, FailureNote* lastFailure = nullptr,
                MetricsFile* metrics = nullptr);
