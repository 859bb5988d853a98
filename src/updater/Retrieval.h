// The firmware retrieval flows behind -G, -B, -L and -J, which the update and recovery commands
// reuse: fetch a build into the store, list the server's or the store's builds, get a token.
#pragma once

#include "BuildList.h"
#include "ServerCommClass.h"
#include "UpdaterContext.h"

#include <cstdint>
#include <string>

// Fetches one build (decimal text; empty for the latest) from the update server into the
// module's store directory as <build>.bird and records LATEST_DOWNLOAD and LAST_DOWNLOAD_DATE.
// Unless override is set, the build must be one the server lists for the module. noCal is passed
// to the server. Returns the build number fetched, 0 on failure (reported on the display).
uint32_t Download_Firmware(UpdaterContext& context, uint32_t serial, const std::string& build,
                           bool override, bool noCal = false);

// The build named by the latest-build line of the server's QueryBuild answer; 0, traced as
// "Error: Could not convert <line> to int.", when the line names none.
uint32_t latestBuildNumber(const std::string& line);

// Pings the context's update server; false after showing "Server request failed for <url>".
bool pingServer(UpdaterContext& context);

// True when the server lists build among the module's builds. Build 0 is never valid, and list
// keys that are not build numbers match nothing.
bool _validate_build(uint32_t serial, uint32_t build, const std::string& serverUrl,
                     const ServerCommClass& server = ServerCommClass());

// The builds the server offers for the module; empty (with the reason shown) on failure.
// ok (when given) tells whether the list was fetched.
BuildList Get_BuildListRemote(UpdaterContext& context, uint32_t serial, bool* ok = nullptr);

// The BIRD files in the module's store directory, versions read from the files; empty when there
// are none. ok (when given) is false when the store could not be opened.
BuildList Get_BuildListLocal(UpdaterContext& context, uint32_t serial, bool* ok = nullptr);

// The module's device token from the server; empty (with the reason shown) on failure.
std::string Get_JWT(UpdaterContext& context, uint32_t serial);
