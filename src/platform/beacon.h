// UDP datagrams for local-mode beacons: every process on the host that listens on the beacon
// port hears what one of them broadcasts to the loopback network, and nothing leaves the host.
#ifndef CORVANE_PLATFORM_BEACON_H
#define CORVANE_PLATFORM_BEACON_H

#include "platform/socket.h"

namespace corvane::platform {

// A non-blocking UDP socket bound to any address at port with address and port reuse (several
// listeners on one host) and broadcast allowed. aErrIO when it cannot be made or bound.
aErr openLoopbackBeaconSocket(uint16_t port, SocketHandle& out);

// Broadcasts one datagram to the loopback network's broadcast address (127.255.255.255) at
// port. aErrIO when it does not go out whole.
aErr sendLoopbackBeacon(SocketHandle socket, uint16_t port, const uint8_t* bytes, size_t count);

// Takes one waiting datagram without blocking: up to size bytes into buffer (the rest of a
// longer one is dropped), its length in got and the sender's IPv4 address (network order).
SocketOutcome receiveBeacon(SocketHandle socket, uint8_t* buffer, size_t size, size_t& got,
                            uint32_t& sender);

} // namespace corvane::platform

#endif
