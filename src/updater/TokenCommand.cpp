// The get token command (-J): fetches the signed token naming a module's software features.
#include "Retrieval.h"
#include "ServerCommClass.h"
#include "UpdaterCommands.h"

std::string Get_JWT(UpdaterContext& context, uint32_t serial) {
    std::string token;
    if (!pingServer(context)) {
        return {};
    }
    if (!context.run.server.GetDeviceJWT(serial, token, context.run.serverUrl)) {
        displayPrint(context.display, DISPLAY_ERROR, "Failed to retrieve jwt for %08X", serial);
        context.failure.note(FailureKind::ServerRefused);
        return {};
    }
    return token;
}

CommandStatus getTokenCommand(UpdaterContext& context, uint32_t serial, std::string& token) {
    token = Get_JWT(context, serial);
    return token.empty() ? CommandStatus::Failed : CommandStatus::Succeeded;
}
