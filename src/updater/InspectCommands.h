// The two inspection commands: -C shows what a BIRD file holds, -I what the store keeps for a
// module. Both report through the context's display and change nothing in a module.
#pragma once

#include "UpdaterCommands.h"

#include <cstdint>
#include <string>

// -C -f FILE: loads the file and shows its header, blocks, info fields, offsets, checksum and
// whether the block walk matched. Succeeded when it loads; Failed (with the reason shown) when
// it does not or when no file was named.
CommandStatus checkBirdCommand(UpdaterContext& context, const std::string& birdFile);

// -I -d SERIAL: shows the module's stored attributes and its local BIRD files, or that the store
// has no entry for it (still Succeeded). Failed when no serial number was given or the store
// cannot be read.
CommandStatus deviceInfoCommand(UpdaterContext& context, uint32_t serial);
