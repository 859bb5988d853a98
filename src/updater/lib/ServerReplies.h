// The update server's replies taken apart, apart from the transfer that brought them: the client
// reads every response through these, and the fuzzer feeds them bytes of its own.
#pragma once

#include "BuildList.h"
#include "ServerCommClass.h"

#include <cstdint>
#include <string>

namespace serverreply {

// Each returns false, traced under DEBUG_ServerComm with the operation's name, for a status other
// than 200 or a body whose first line does not start with "ok"; out-parameters are written only
// on success, as ServerCommClass's operations say.
bool ping(const ServerResponse& response);
bool queryBuild(const ServerResponse& response, std::string& latestBuild, std::string& firmwareId);
// Adds the reply's builds to builds (the caller clears it).
bool buildList(const ServerResponse& response, BuildList& builds);
// Moves the body's Base64 text, line breaks removed, into base64Out: the body is left spent.
bool bird(ServerResponse& response, std::string& base64Out);
bool deviceToken(const ServerResponse& response, std::string& token);
bool recoveryInfo(const ServerResponse& response, uint32_t& serial, uint32_t& build);

} // namespace serverreply
