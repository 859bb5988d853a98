// The store folder's name, as the library joins paths.
#include "StoreFolder.h"

#include "corvane/aDirectory.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t kHomeBufferSize = 2048;

// first joined with second by the library's path rules; false when it does not fit.
bool joinPath(const std::string& first, const char* second, std::string& out) {
    // The join needs the two texts, a separator and some slack for its room accounting.
    std::vector<char> buffer(first.size() + strlen(second) + 8);
    if (aDirectory_JoinPath(buffer.data(), buffer.size(), first.c_str(), second) != aErrNone)
        return false;
    out = buffer.data();
    return true;
}

} // namespace

StoreFolder storeFolderFor(const std::string& storeBase) {
    StoreFolder folder;
    folder.base = storeBase;
    if (folder.base.empty()) {
        char home[kHomeBufferSize] = {};
        folder.homeError = aDirectory_GetHomeDirectory(home, sizeof home);
        if (folder.homeError != aErrNone)
            return folder;
        folder.home = home;
        if (!joinPath(folder.home, ".quendra", folder.base)) {
            folder.base = folder.home + "/.quendra";
            return folder;
        }
    }
    if (!joinPath(folder.base, "updater", folder.directory))
        folder.directory.clear();
    return folder;
}
