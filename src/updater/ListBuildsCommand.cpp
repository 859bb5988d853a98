// The list builds command (-B): the builds the update server offers for a module.
#include "UpdaterCommands.h"

CommandStatus listBuildsCommand(UpdaterContext& context, uint32_t, BuildList&) {
    displayPrint(context.display, DISPLAY_ERROR,
                 "The list builds command (-B) is not available in this version yet");
    return CommandStatus::Unavailable;
}
