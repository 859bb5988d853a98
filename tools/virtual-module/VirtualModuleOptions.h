// Command line of the virtual-module program, parsed into a module configuration.
#pragma once

#include <string>

#include "VirtualModule.h"

namespace Corvane::Tools {

enum class OptionsResult { Run, Help, Error };

// Fills config from argv. On Error, *error holds one line saying what was wrong.
OptionsResult parseVirtualModuleOptions(int argc, const char* const* argv,
                                        VirtualModuleConfig& config, std::string* error);

extern const char* const kVirtualModuleHelp;

} // namespace Corvane::Tools
