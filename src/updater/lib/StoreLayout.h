// The store's names, in one place: where the store folder is for -i (one rule for the commands,
// which make the folder, and for --doctor, which only looks at where it would be), and what a
// module's build is called in its directory.
#pragma once

#include "corvane/aError.h"

#include <cstdint>
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

// The file a module's build is kept in, inside the module's directory: "<build>.bird".
std::string buildFileName(uint32_t build);
// The build a file of a module's directory holds, as its decimal digits; empty when the name is
// not "<digits>.bird" ("100.bird.bak", "x.bird" and ".bird" are not builds).
std::string buildOfFileName(const std::string& name);
// Where the store keeps a module's build: its directory (the serial as "%08X") in the store
// directory, and the build's file in that.
std::string storedBuildPath(const std::string& storeDirectory, uint32_t serial, uint32_t build);
