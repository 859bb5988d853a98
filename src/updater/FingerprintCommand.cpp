// The fingerprint command (-N): reads a chip's 128-bit identifier through its boot loader.
#include "UpdaterCommands.h"

CommandStatus fingerprintCommand(UpdaterContext& context, const std::string&, uint32_t,
                                 const std::string&, uint32_t, bool, std::array<uint32_t, 4>&) {
    displayPrint(context.display, DISPLAY_ERROR,
                 "The fingerprint command (-N) is not available in this version yet");
    return CommandStatus::Unavailable;
}
