// The order of a module's builds by version, newest first, as the build table and the server
// client show them.
#include "BuildOrder.h"

#include "Debug.h"

#include "corvane/aVersion.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

namespace {

struct ParsedVersion {
    uint8_t major;
    uint8_t minor;
    uint32_t patch;
};

// Parses one decimal component in full; nullopt when it is empty, not all digits or above max.
std::optional<uint32_t> parseComponent(std::string_view text, uint32_t max) {
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

// "major.minor.patch" with exactly three decimal parts; reason says why it is not.
std::optional<ParsedVersion> parseVersion(const std::string& text, std::string& reason) {
    std::string_view rest(text);
    std::string_view parts[3];
    for (int i = 0; i < 3; ++i) {
        size_t dot = rest.find('.');
        if (i < 2) {
            if (dot == std::string_view::npos) {
                reason = "too few parts in version [" + text + "]";
                return std::nullopt;
            }
            parts[i] = rest.substr(0, dot);
            rest.remove_prefix(dot + 1);
        } else {
            if (dot != std::string_view::npos) {
                reason = "too many parts in version [" + text + "]";
                return std::nullopt;
            }
            parts[i] = rest;
        }
    }
    auto major = parseComponent(parts[0], std::numeric_limits<uint8_t>::max());
    auto minor = parseComponent(parts[1], std::numeric_limits<uint8_t>::max());
    auto patch = parseComponent(parts[2], std::numeric_limits<uint32_t>::max());
    if (!major || !minor || !patch) {
        reason = "invalid number in version [" + text + "]";
        return std::nullopt;
    }
    return ParsedVersion{static_cast<uint8_t>(*major), static_cast<uint8_t>(*minor), *patch};
}

} // namespace

namespace buildtable {

bool _sortVersion(const BuildEntry& a, const BuildEntry& b) {
    std::string reason;
    auto first = parseVersion(a.second, reason);
    auto second = first ? parseVersion(b.second, reason) : std::nullopt;
    if (!first || !second) {
        Debug_Print(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                    reason.c_str());
        return false;
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
