// The update command (-U): installs firmware into a running module over its link.
#include "UpdaterCommands.h"

bool updateCommand(UpdaterContext& context, uint32_t, uint32_t, const std::string&, uint8_t,
                   uint32_t, bool) {
    displayPrint(context.display, DISPLAY_ERROR,
                 "The update command (-U) is not available in this version yet");
    return false;
}
