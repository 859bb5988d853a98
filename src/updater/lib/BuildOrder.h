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
// that does not parse is traced under DEBUG_ServerComm and never comes first.
bool _sortVersion(const BuildEntry& a, const BuildEntry& b);
} // namespace buildtable

// The list's entries newest version first; equal versions keep the list's own key order.
std::vector<BuildEntry> sortBuildsNewestFirst(const BuildList& builds);
