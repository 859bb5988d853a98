// The store's names: the folder as the library joins paths, and the build files in it.
#include "StoreLayout.h"

#include "SerialNumberText.h"
#include "StoreEntry.h"

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

namespace {
constexpr const char* kBuildExtension = ".bird";
constexpr size_t kBuildExtensionLength = 5;
} // namespace

std::string buildFileName(uint32_t build) {
    return std::to_string(build) + kBuildExtension;
}

std::string buildOfFileName(const std::string& name) {
    if (name.size() <= kBuildExtensionLength)
        return {};
    const size_t extension = name.size() - kBuildExtensionLength;
    if (name.compare(extension, std::string::npos, kBuildExtension) != 0 ||
        name.find_first_not_of("0123456789") != extension)
        return {};
    return name.substr(0, extension);
}

std::string storedBuildPath(const std::string& storeDirectory, uint32_t serial, uint32_t build) {
    return joinStorePath(joinStorePath(storeDirectory, serialNumberText(serial)),
                         buildFileName(build));
}
