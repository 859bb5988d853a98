// The tools' socket addresses from text and back: the same calls on BSD sockets and on Winsock,
// whose headers the backend's SocketHeaders.h brings.
#include "SocketAddresses.h"
#include "SocketHeaders.h"
#include "ToolSockets.h"

namespace Corvane::Tools::os {

bool ipv4FromText(const std::string& text, uint32_t& networkOrder) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return false;
    networkOrder = address.s_addr;
    return true;
}

std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address == nullptr)
        return text;
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    return text;
}

bool socketAddress(const std::string& address, uint16_t port, bool allowIpv6, sockaddr_storage& out,
                   int& length) {
    out = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    if (allowIpv6 && inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return true;
    }
    return false;
}

uint16_t portOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

} // namespace Corvane::Tools::os
