// The virtual module's discovery answer as it goes on the wire; the sockets that hear requests
// and send it are the system's (linux/, windows/).
#include "DiscoveryResponder.h"

#include <cstring>

namespace Corvane::Tools {

DiscoveryResponder::~DiscoveryResponder() {
    stop();
}

void DiscoveryResponder::buildReply(const ModuleIdentity& identity, uint16_t tcpPort,
                                    uint8_t reply[16]) {
    std::memset(reply, 0, kReplySize);
    reply[1] = identity.address;
    reply[2] = static_cast<uint8_t>(tcpPort & 0xFF);
    reply[3] = static_cast<uint8_t>(tcpPort >> 8);
    for (int i = 0; i < 4; ++i)
        reply[4 + i] = static_cast<uint8_t>(identity.serialNumber >> (8 * i));
    reply[12] = identity.model;
}

} // namespace Corvane::Tools
