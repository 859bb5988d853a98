// The two inspection commands: -C shows what a BIRD file holds, -I what the store keeps for a
// module. Both report through the context's display and change nothing in a module.
#pragma once

#include "UpdaterCommands.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class BirdFile;

// -C -f FILE: loads the file and shows its header, blocks, info fields, offsets, checksum and
// whether the block walk matched. Succeeded when it loads; Failed (with the reason shown) when
// it does not or when no file was named.
// When loaded is given, the file that loaded is moved into it.
CommandStatus checkBirdCommand(UpdaterContext& context, const std::string& birdFile,
                               BirdFile* loaded = nullptr);

// What -I found, for the machine-readable report.
struct StoredDevice {
    std::string store;                             // the store's root
    std::string entry;                             // the module's directory; empty when none
    std::map<std::string, std::string> attributes; // its .settings
    struct File {
        std::string name;
        std::string kind; // "bird", "directory", "other" (not a BIRD file) or "unreadable"
        std::string version, model, problem;
        uint32_t builtFor = 0;
        uint32_t blocks = 0;
        bool damaged = false; // the block walk did not match the header's count
    };
    std::vector<File> files; // by name
};

// -I -d SERIAL: shows the module's stored attributes and its local BIRD files, or that the store
// has no entry for it (still Succeeded). Failed when no serial number was given or the store
// cannot be read.
CommandStatus deviceInfoCommand(UpdaterContext& context, uint32_t serial,
                                StoredDevice* found = nullptr);
