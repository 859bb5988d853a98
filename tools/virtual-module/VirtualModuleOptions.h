// Command line of the virtual-module program, parsed into a module configuration.
#pragma once

#include <string>
#include <vector>

#include "I2CBus.h"
#include "VirtualModule.h"

namespace Corvane::Tools {

enum class OptionsResult { Run, Help, Error };

// Fills config from argv, and busModules (when given) with the modules behind the module, which
// is then a router. On Error, *error holds one line saying what was wrong.
OptionsResult parseVirtualModuleOptions(int argc, const char* const* argv,
                                        VirtualModuleConfig& config, std::string* error,
                                        std::vector<BusModuleConfig>* busModules = nullptr);

extern const char* const kVirtualModuleHelp;

} // namespace Corvane::Tools
