// Windows backend of the virtual module's discovery answers: none. Answering takes a multicast
// listener bound to one interface among others on one port and, for the forged-source fault, a
// raw socket; Windows grants neither as Linux does, so the option says so instead.
#include "DiscoveryResponder.h"

namespace Corvane::Tools {

bool DiscoveryResponder::start(const std::string&, const ModuleIdentity&, uint16_t,
                               std::string* error, const DiscoveryFaults&) {
    if (error)
        *error = "answering TCP/IP discovery needs the Linux build of virtual-module";
    return false;
}

void DiscoveryResponder::stop() {}

} // namespace Corvane::Tools
