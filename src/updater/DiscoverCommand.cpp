// The discover command (-D): lists the modules reachable directly or behind a router.
#include "UpdaterCommands.h"

CommandStatus discoverCommand(UpdaterContext& context, uint32_t, int) {
    displayPrint(context.display, DISPLAY_ERROR,
                 "The discover command (-D) is not available in this version yet");
    return CommandStatus::Unavailable;
}
