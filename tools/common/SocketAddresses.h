// Socket addresses from text and back, the same under both backends of the tools' sockets
// (SocketAddresses.cpp, on the backend's SocketHeaders.h).
#pragma once

#include <cstdint>
#include <string>

struct sockaddr_storage;

namespace Corvane::Tools::os {

// address:port as a socket address (IPv4, or IPv6 too when allowIpv6) and its length; false
// for text that is neither.
bool socketAddress(const std::string& address, uint16_t port, bool allowIpv6, sockaddr_storage& out,
                   int& length);
// The port of an IPv4 or IPv6 socket address, in host order.
uint16_t portOf(const sockaddr_storage& address);

} // namespace Corvane::Tools::os
