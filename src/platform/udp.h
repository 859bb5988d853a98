// UDP datagrams, IPv4 multicast and the machine's IPv4 interfaces, for module discovery and the
// multicast helper: the operating-system procedures behind them.
#ifndef CORVANE_PLATFORM_UDP_H
#define CORVANE_PLATFORM_UDP_H

#include "corvane/aError.h"
#include "platform/socket.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::platform {

// How to set up a UDP socket. Addresses are IPv4 in network byte order; 0 means "none" (or
// "any" for bindAddress).
struct UdpSetup {
    bool bind = false;               // bind to bindAddress:port
    uint32_t bindAddress = 0;        // 0: any address
    uint16_t port = 0;               // host order; 0: any port
    bool reuseAddress = false;       // several sockets may bind the same port
    uint32_t multicastInterface = 0; // interface multicast datagrams leave by
    uint32_t joinGroup = 0;          // group to join on joinInterface
    uint32_t joinInterface = 0;
    int multicastTtl = -1;  // -1 keeps the system's
    int multicastLoop = -1; // -1 keeps the system's, else 0 or 1
};

// A UDP socket set up as asked (blocking; receive waits are given per call). aErrIO when the
// socket cannot be made or an option fails; aErrBusy when the port is taken.
aErr openUdp(const UdpSetup& setup, SocketHandle& out);

// Sends one datagram to address:port (network order address, host order port). aErrIO on
// failure, also when fewer bytes went.
aErr sendDatagram(SocketHandle socket, uint32_t address, uint16_t port, const uint8_t* bytes,
                  size_t count);

// Waits at most timeoutMs for one datagram: its bytes (cut to size), its full length in got
// (above size for a longer datagram) and the sender's address (network order). aErrTimeout when
// none came, aErrIO on failure.
aErr receiveDatagram(SocketHandle socket, uint8_t* buffer, size_t size, uint32_t timeoutMs,
                     size_t& got, uint32_t& from);

// The IPv4 addresses (network order) of the interfaces that are up, loopback included, in the
// system's order, and when asked the broadcast addresses of their subnets. aErrIO when they
// cannot be listed.
aErr listIPv4Interfaces(std::vector<uint32_t>& addresses,
                        std::vector<uint32_t>* broadcasts = nullptr);

// Dotted IPv4 text to an address (network order) and back. aErrParse for text that is no dotted
// address; aErrSize when the buffer is too small.
aErr parseIPv4(const char* text, uint32_t& address);
aErr formatIPv4(uint32_t address, char* buffer, size_t size);
// Room for the longest dotted address and its terminator.
constexpr size_t ipv4TextSize = 16;

// An IPv4 address from host to network byte order and back.
uint32_t ipv4ToNetwork(uint32_t hostOrder);
uint32_t ipv4ToHost(uint32_t networkOrder);

} // namespace corvane::platform

#endif
