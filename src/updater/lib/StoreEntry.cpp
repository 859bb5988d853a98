// Store entries: paths inside a module's directory, loading stored BIRD files and writing files.
#include "StoreEntry.h"

#include "AtomicFile.h"
#include "Debug.h"
#include "os/files.h"

#include <stdexcept>

std::string joinStorePath(const std::string& first, const std::string& second) {
    if (first.empty()) {
        return second;
    }
    if (first.back() == '/' || (!second.empty() && second.front() == '/')) {
        return first + second;
    }
    return first + '/' + second;
}

std::string StoreEntry::path() const {
    return joinStorePath(directory, name);
}

std::string StoreEntry::pathOf(const std::string& fileName) const {
    return joinStorePath(path(), fileName);
}

void StoreEntry::loadBird(const std::string& fileName, BirdFile& birdOut) const {
    const std::string file = pathOf(fileName);
    if (!BirdFile::isBirdFile(file)) {
        throw std::runtime_error("Invalid bird " + file);
    }
    birdOut = BirdFile(file);
}

aErr StoreEntry::writeFile(const std::string& fileName, const void* data, size_t length) const {
    const std::string file = pathOf(fileName);
    if (data == nullptr || length == 0) {
        return aErrNotFound;
    }
    int error = 0;
    const aErr err = writeFileAtomically(file, data, length, &error);
    if (err != aErrNone) {
        Debug_Print(DEBUG_Updater, "UpdaterStore: Could not write %s: %s (%d)\n", file.c_str(),
                    corvane::platform::systemErrorText(error).c_str(), error);
    }
    return err;
}
