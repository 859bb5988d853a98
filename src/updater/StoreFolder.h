// Where the store folder is for -i: one rule for the commands, which make the folder, and for
// --doctor, which only looks at where it would be.
#pragma once

#include "corvane/aError.h"

#include <string>

struct StoreFolder {
    std::string home;          // the home directory, when the store is under it
    std::string base;          // -i, else the home directory joined with ".quendra"
    std::string directory;     // base joined with "updater"; empty when it cannot be named
    aErr homeError = aErrNone; // why the home directory could not be read, when it was needed
};

// Names the store folder for -i's value (empty for the default) by the library's path rules,
// without making anything.
StoreFolder storeFolderFor(const std::string& storeBase);
