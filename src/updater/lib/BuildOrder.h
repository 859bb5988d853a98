// A module's builds ordered by version, newest first: the order of the build table and of the
// server client's sortBuildsByVersion.
#pragma once

#include "BuildList.h"

#include <string>
#include <utility>
#include <vector>

using BuildEntry = std::pair<std::string, std::string>; // (build, version)

namespace buildtable {
// True when a's version is greater than b's ("major.minor.patch", compared numerically). A version
// that does not parse is traced under DEBUG_ServerComm and goes after every version that does.
bool _sortVersion(const BuildEntry& a, const BuildEntry& b);
} // namespace buildtable

// The list's entries newest version first, then those that are no version; equal versions (and
// the entries that are none) keep the list's own key order.
std::vector<BuildEntry> sortBuildsNewestFirst(const BuildList& builds);
