// UDP and IPv4 multicast on BSD sockets, and the interface list from getifaddrs; errno is
// sorted into aErr here and nowhere else.
#include "platform/neutral/ipv4_rules.h"
#include "platform/udp.h"

#include "sys_poll.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

template <typename T> bool setOption(int fd, int level, int name, const T& value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

} // namespace

aErr openUdp(const UdpSetup& setup, SocketHandle& out) {
    out = invalidSocket;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return aErrIO;
    bool ok = true;
    if (setup.reuseAddress)
        ok = setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (ok && setup.bind) {
        const sockaddr_in sa = ipv4(setup.bindAddress, setup.port);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
            const int error = errno;
            ::close(fd);
            return error == EADDRINUSE ? aErrBusy : aErrIO;
        }
    }
    if (ok && setup.joinGroup != 0) {
        ip_mreq request{};
        request.imr_multiaddr.s_addr = setup.joinGroup;
        request.imr_interface.s_addr = setup.joinInterface;
        ok = setOption(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, request);
    }
    if (ok && setup.multicastInterface != 0) {
        in_addr interface {};
        interface.s_addr = setup.multicastInterface;
        ok = setOption(fd, IPPROTO_IP, IP_MULTICAST_IF, interface);
    }
    if (ok && setup.multicastTtl >= 0)
        ok = setOption(fd, IPPROTO_IP, IP_MULTICAST_TTL,
                       static_cast<unsigned char>(setup.multicastTtl));
    if (ok && setup.multicastLoop >= 0)
        ok = setOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP,
                       static_cast<unsigned char>(setup.multicastLoop != 0));
    if (!ok) {
        ::close(fd);
        return aErrIO;
    }
    out = fd;
    return aErrNone;
}

aErr sendDatagram(SocketHandle socket, uint32_t address, uint16_t port, const uint8_t* bytes,
                  size_t count) {
    const sockaddr_in sa = ipv4(address, port);
    ssize_t sent;
    do {
        sent = ::sendto(socket, bytes, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                        sizeof sa);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(count) ? aErrNone : aErrIO;
}

aErr receiveDatagram(SocketHandle socket, uint8_t* buffer, size_t size, uint32_t timeoutMs,
                     size_t& got, uint32_t& from) {
    got = 0;
    from = 0;
    const aErr ready = waitReadable(socket, timeoutMs);
    if (ready == aErrNotReady)
        return aErrTimeout;
    if (ready != aErrNone)
        return aErrIO;
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(socket, buffer, size, MSG_DONTWAIT | MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&sa), &length);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? aErrTimeout : aErrIO;
    got = static_cast<size_t>(n);
    from = sa.sin_addr.s_addr;
    return aErrNone;
}

aErr listIPv4Interfaces(std::vector<uint32_t>& addresses, std::vector<uint32_t>* broadcasts) {
    addresses.clear();
    if (broadcasts)
        broadcasts->clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return aErrIO;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0)
            continue;
        addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        // From the netmask, not ifa_broadaddr: for an address added without "brd" the latter
        // holds the interface's own address. A /31 or /32 has no broadcast address.
        if (broadcasts && entry->ifa_netmask != nullptr &&
            entry->ifa_netmask->sa_family == AF_INET) {
            const uint32_t mask =
                reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
            uint32_t broadcast = 0;
            if (subnetBroadcast(addresses.back(), prefixLengthOf(mask), broadcast))
                broadcasts->push_back(broadcast);
        }
    }
    ::freeifaddrs(list);
    return aErrNone;
}

} // namespace corvane::platform
