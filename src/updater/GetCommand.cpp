// The get command (-G): fetches one firmware build from the update server into the store.
#include "UpdaterCommands.h"

uint32_t getBuildCommand(UpdaterContext& context, uint32_t, const std::string&, bool) {
    displayPrint(context.display, DISPLAY_ERROR,
                 "The get command (-G) is not available in this version yet");
    return 0;
}
