// Discovery internals shared with the tests: the TCP/IP discovery datagrams and the list of
// USB modules built from instance identifiers.
#pragma once

#include "corvane/aDiscovery.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace corvane::discovery {

constexpr uint32_t kGroup = 0x020202E8; // 232.2.2.2 in network byte order
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kDatagramSize = 16;
constexpr uint32_t kListenMs = 2000;
constexpr size_t kMaxUsbModules = 128;

// How long TCP/IP enumeration listens for replies: until none has come for quietMs (counted
// from the requests, then from each reply), and never longer than capMs after the requests, so
// a module that keeps answering cannot hold the caller.
struct ListenLimits {
    uint32_t quietMs = kListenMs;
    uint32_t capMs = 10000;
};

// What one wait for a datagram brought.
enum class Heard {
    reply,   // a reply, reported: the quiet time starts again
    other,   // a datagram that is no reply: ignored, the quiet time runs on
    nothing, // the wait ran out
    stop     // the caller wants no more, or the socket failed
};

// The listening of TCP/IP enumeration, apart from its socket and clock: calls receive with the
// longest wait allowed until the limits say stop or it returns Heard::stop. now() is in
// milliseconds.
void listenForReplies(const ListenLimits& limits, const std::function<uint64_t()>& now,
                      const std::function<Heard(uint32_t waitMs)>& receive);

// False for an IPv4 address (network byte order) no module can be reached at: 0.0.0.0/8,
// multicast, the reserved block with the limited broadcast, 127.255.255.255, and the broadcast
// addresses of this host's subnets given.
bool reachableModuleAddress(uint32_t address, const std::vector<uint32_t>& subnetBroadcasts = {});

// The specifier a discovery reply describes (type TCPIP, the sender's address as ipAddress).
// False unless the reply is exactly 16 bytes, names a port other than 0 and comes from an
// address a module can be reached at.
bool parseReply(const uint8_t* bytes, size_t length, uint32_t from, linkSpec& spec,
                const std::vector<uint32_t>& subnetBroadcasts = {});

// The reply a module at address with this port, serial number and model sends.
void buildReply(uint8_t moduleAddress, uint16_t port, uint32_t serialNumber, uint8_t model,
                uint8_t reply[kDatagramSize]);

// Adds (serial number, model) to the list in the order found: a serial number seen again keeps
// its place and takes the later model; at most 128 modules.
void addUsbModule(std::vector<std::pair<uint32_t, uint8_t>>& modules, uint32_t serialNumber,
                  uint8_t model);

} // namespace corvane::discovery
