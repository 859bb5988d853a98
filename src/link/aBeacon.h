// Beacons for the sharing server and the aEther discovery: one actor per beacon, created for
// the process-wide beacon interface, with the command set of CZMQ's zbeacon actor.
#pragma once

#include "aZmqSockets.h"
#include "corvane/aDiscovery.h"

#include <czmq.h>

#include <cstdint>

namespace corvane {

// The beacon port and the payloads of the discovery exchange.
inline constexpr int kBeaconPort = 8585;
inline constexpr char kDiscoveryRequest[] = "Corvane2-Discovery";
inline constexpr int kBeaconIntervalMs = 100;

// A new beacon actor for the interface set with zBeaconInterface (call with its lock held).
// On "127.0.0.1" it is the loopback beacon: datagrams are broadcast to 127.255.255.255 with
// address and port reuse, so every process of this host hears them and nothing leaves it
// (CZMQ's own beacon finds no broadcast interface on lo). On any other setting it is CZMQ's
// zbeacon. Both take "CONFIGURE" port (and answer the host address, "" when unusable),
// "PUBLISH" data interval, "SILENCE", "SUBSCRIBE" prefix, "UNSUBSCRIBE", and deliver each
// beacon heard as two frames: the sender's IPv4 text and the payload. Null on failure.
zactor_t* beaconCreate();

// The first listed IPv4 interface of this host that is not loopback (network byte order); 0
// when there is none.
uint32_t firstNonLoopbackInterface();

// True when the interface text selects the loopback beacon.
bool beaconIsLoopback(const char* interfaceText);

// A sharing server's beacon answer as a link specifier: true only for exactly 128 bytes of type
// aEther with an address and a port (1 to 65535) and nothing past the port.
bool parseServerAnswer(const uint8_t* payload, size_t size, linkSpec& spec);

} // namespace corvane
