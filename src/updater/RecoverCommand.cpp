// The serial recovery command (-U -t RECOVER): reloads a module through its boot loader.
#include "UpdaterCommands.h"

bool recoverCommand(UpdaterContext& context, const std::string&, uint32_t, uint32_t, uint32_t,
                    const std::string&, bool) {
    displayPrint(
        context.display, DISPLAY_ERROR,
        "The serial recovery command (-U -t RECOVER) is not available in this version yet");
    return false;
}
