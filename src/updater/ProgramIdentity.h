// The Updater's name and version as its version line shows them.
#pragma once

#include "CorvaneVersion.h"

// The version line's parts, e.g. "Updater (Version: 2.11.4 Sep 23 2025)".
inline constexpr const char* kUpdaterName = "Updater";
inline constexpr const char* kUpdaterVersion =
    "Version: " CORVANE_VERSION_TEXT " " CORVANE_RELEASE_DATE;
