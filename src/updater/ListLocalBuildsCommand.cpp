// The list local builds command (-L): the BIRD files already in the store for a module.
#include "UpdaterCommands.h"

CommandStatus listLocalBuildsCommand(UpdaterContext& context, uint32_t, BuildList&) {
    displayPrint(context.display, DISPLAY_ERROR,
                 "The list local builds command (-L) is not available in this version yet");
    return CommandStatus::Unavailable;
}
