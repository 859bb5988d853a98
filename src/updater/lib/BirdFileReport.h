// A readable account of a loaded BIRD file, shared by "Updater -C" and "birdtool show".
#pragma once

#include "BirdFile.h"

#include <string>
#include <vector>

// One line per element, without line feeds: header, block image, every block, the info
// fields, the offsets, the checksum and whether the block walk matched.
std::vector<std::string> describeBirdFile(const BirdFile& bird);

// "loader", "firmware", "offsets", "info", "loader start" or "unknown".
const char* birdBlockTypeName(uint8_t type);
