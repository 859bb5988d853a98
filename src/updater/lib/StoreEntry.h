// One entry of the updater store: a module's directory (or a file inside it) with its attributes.
#pragma once

#include "AttributeFile.h"
#include "BirdFile.h"

#include <corvane/aError.h>

#include <cstddef>
#include <string>

// first/second with one separator between them (none added after an empty first or where
// one side already has it): the one way store paths are joined.
std::string joinStorePath(const std::string& first, const std::string& second);

struct StoreEntry {
    std::string directory;    // the directory holding the entry (for a module: the store root)
    std::string name;         // the entry's own name (for a module: the serial as "%08X")
    bool isDirectory = false; // the entry is a directory
    AttributeFile attributes; // read from directory/name/.settings

    // directory/name, and directory/name/fileName.
    std::string path() const;
    std::string pathOf(const std::string& fileName) const;

    // Loads directory/name/fileName into birdOut. Throws std::runtime_error "Invalid bird <path>"
    // when the quick check rejects the file, or the loader's own error when loading fails.
    void loadBird(const std::string& fileName, BirdFile& birdOut) const;

    // Writes length bytes to directory/name/fileName through a temporary file in the same
    // directory that is synced and renamed into place: readers see the old file or the whole new
    // one, never a part. aErrNotFound with no data or when the file cannot be created,
    // aErrWrite when writing, syncing or renaming fails (nothing is left behind), else aErrNone.
    aErr writeFile(const std::string& fileName, const void* data, size_t length) const;
};
