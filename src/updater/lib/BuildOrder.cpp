// The order of a module's builds by version, newest first, as the build table and the server
// client show them.
#include "BuildOrder.h"

#include "BuildText.h"
#include "Debug.h"

#include "corvane/aVersion.h"

#include <algorithm>
#include <optional>

namespace {

std::optional<FirmwareVersion> versionOf(const BuildEntry& entry) {
    std::string reason;
    auto version = parseFirmwareVersion(entry.second, &reason);
    if (!version) {
        Debug_Print(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                    reason.c_str());
    }
    return version;
}

} // namespace

namespace buildtable {

bool _sortVersion(const BuildEntry& a, const BuildEntry& b) {
    // An entry that is no version goes after every version. Were it merely "equal" to all, the
    // order would stop being one: with 2.0.0, a bad entry and 3.0.0 in that order, a stable sort
    // leaves 2.0.0 on top, and the table would disagree with the server about the newest build.
    const auto first = versionOf(a);
    if (!first) {
        return false;
    }
    const auto second = versionOf(b);
    if (!second) {
        return true;
    }
    // Strictly greater, so equal versions keep their order under a stable sort.
    return !aVersion_IsAtLeastCompare(second->major, second->minor, second->patch, first->major,
                                      first->minor, first->patch);
}

} // namespace buildtable

std::vector<BuildEntry> sortBuildsNewestFirst(const BuildList& builds) {
    std::vector<BuildEntry> entries(builds.begin(), builds.end());
    std::stable_sort(entries.begin(), entries.end(), buildtable::_sortVersion);
    return entries;
}
