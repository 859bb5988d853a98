// Whole-file replacement through a synced temporary file and a rename, and the sweep of
// temporary files whose writer died before the rename.
#include "AtomicFile.h"

#include "Debug.h"
#include "os/files.h"

#include <corvane/aDefs.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace platform = corvane::platform;

namespace {

constexpr int kNameAttempts = 16;
constexpr const char* kTemporaryMark = ".tmp-";

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A hidden name next to the target, so directory listings that skip dot files never show it:
// ".<name>.tmp-<writer's process id>-<counter>-<random>".
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 random{std::random_device{}()};
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char suffix[48];
    snprintf(suffix, sizeof suffix, "%s%u-%u-%08x", kTemporaryMark, platform::currentProcessId(),
             counter.fetch_add(1), static_cast<unsigned>(random()));
    return dir + "." + base + suffix;
}

// The writer's process id of a temporary file name, 0 when name is not one of ours.
uint32_t writerOf(const std::string& name) {
    const size_t mark = name.rfind(kTemporaryMark);
    if (name.empty() || name.front() != '.' || mark == std::string::npos || mark == 0) {
        return 0;
    }
    const char* digits = name.c_str() + mark + std::char_traits<char>::length(kTemporaryMark);
    char* end = nullptr;
    const unsigned long id = std::strtoul(digits, &end, 10);
    if (end == digits || *end != '-' || id > UINT32_MAX) {
        return 0;
    }
    return static_cast<uint32_t>(id);
}

} // namespace

void sweepStaleTemporaries(const std::string& directory) {
    std::vector<std::string> stale;
    platform::listDirectory(directory.c_str(), [&](const platform::DirectoryEntry& entry) {
        const uint32_t writer = writerOf(entry.name);
        if (writer != 0 && !entry.isDirectory && writer != platform::currentProcessId() &&
            !platform::processExists(writer)) {
            stale.emplace_back(entry.name);
        }
        return true;
    });
    for (const std::string& name : stale) {
        const std::string path = directory + "/" + name;
        Debug_Print(DEBUG_Updater, "UpdaterStore: removing %s left by an interrupted write\n",
                    path.c_str());
        platform::removeFile(path.c_str());
    }
}

aErr writeFileAtomically(const std::string& path, const void* data, size_t length,
                         int* systemError) {
    int dummy = 0;
    int& error = systemError != nullptr ? *systemError : dummy;
    error = 0;

    // Refuse what opening the file for writing would refuse: the rename must not reach
    // further than that. A path too long for the readers, or a file this user may not write,
    // would otherwise be replaced by a reader that could merely not open it; something that is
    // not a regular file (a named pipe, a directory) is not the store's to replace.
    if (platform::checkReplaceable(path.c_str(), aFILE_MAXPATH) != aErrNone) {
        error = platform::lastSystemError();
        return aErrNotFound;
    }

    const std::string directory = directoryOf(path);
    sweepStaleTemporaries(directory);

    std::string temporary;
    platform::FileHandle file = platform::invalidFile;
    aErr err = aErrNotFound;
    for (int attempt = 0; attempt < kNameAttempts && file == platform::invalidFile; ++attempt) {
        temporary = temporaryName(path);
        err = platform::createExclusiveFile(temporary.c_str(), file);
        if (err != aErrNone && err != aErrDuplicate) {
            break;
        }
    }
    if (file == platform::invalidFile) {
        error = platform::lastSystemError();
        return aErrNotFound;
    }

    size_t put = 0;
    err = platform::writeFile(file, data, length, put);
    if (err == aErrNone) {
        err = platform::syncFile(file);
    }
    const aErr closed = platform::closeFile(file);
    if (err == aErrNone) {
        err = closed;
    }
    if (err == aErrNone) {
        err = platform::renamePath(temporary.c_str(), path.c_str());
    }
    if (err != aErrNone) {
        error = platform::lastSystemError();
        platform::removeFile(temporary.c_str());
        return aErrWrite;
    }
    // Make the rename itself durable; the file is already complete either way.
    platform::syncDirectory(directory.c_str());
    return aErrNone;
}
