// The get token command (-J): fetches the signed token naming a module's software features.
#include "UpdaterCommands.h"

CommandStatus getTokenCommand(UpdaterContext& context, uint32_t, std::string&) {
    displayPrint(context.display, DISPLAY_ERROR,
                 "The get token command (-J) is not available in this version yet");
    return CommandStatus::Unavailable;
}
