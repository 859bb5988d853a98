// The list builds command (-B): the builds the update server offers for a module.
#include "Retrieval.h"
#include "ServerCommClass.h"
#include "UpdaterCommands.h"

BuildList Get_BuildListRemote(UpdaterContext& context, uint32_t serial, bool* ok) {
    BuildList builds;
    bool fetched = pingServer(context);
    if (fetched && !context.run.server.GetBuildList(serial, builds, context.run.serverUrl)) {
        displayPrint(context.display, DISPLAY_ERROR, "Failed to retrieve builds for %08X", serial);
        context.failure.note(FailureKind::ServerRefused);
        fetched = false;
    }
    if (ok) {
        *ok = fetched;
    }
    return builds;
}

CommandStatus listBuildsCommand(UpdaterContext& context, uint32_t serial, BuildList& out) {
    bool ok = false;
    out = Get_BuildListRemote(context, serial, &ok);
    return ok ? CommandStatus::Succeeded : CommandStatus::Failed;
}
