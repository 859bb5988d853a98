// UDP and IPv4 multicast on Winsock, and the interface list from the IP Helper's adapter
// addresses; Winsock's codes are sorted into aErr here and nowhere else.
#include "platform/neutral/ipv4_rules.h"
#include "platform/udp.h"

#include "sys_poll.h"
#include "win_common.h"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <vector>

namespace corvane::platform {

namespace {

template <typename T> bool setOption(SOCKET s, int level, int name, const T& value) {
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
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
    if (!winsockReady())
        return aErrIO;
    const SOCKET s =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return aErrIO;
    bool ok = true;
    if (setup.reuseAddress)
        ok = setOption(s, SOL_SOCKET, SO_REUSEADDR, BOOL{TRUE});
    if (ok && setup.bind) {
        const sockaddr_in sa = ipv4(setup.bindAddress, setup.port);
        if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
            const int error = WSAGetLastError();
            ::closesocket(s);
            return error == WSAEADDRINUSE ? aErrBusy : aErrIO;
        }
    }
    if (ok && setup.joinGroup != 0) {
        ip_mreq request{};
        request.imr_multiaddr.s_addr = setup.joinGroup;
        request.imr_interface.s_addr = setup.joinInterface;
        ok = setOption(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, request);
    }
    if (ok && setup.multicastInterface != 0) {
        in_addr outgoing{};
        outgoing.s_addr = setup.multicastInterface;
        ok = setOption(s, IPPROTO_IP, IP_MULTICAST_IF, outgoing);
    }
    // Winsock takes these two as DWORDs, not bytes.
    if (ok && setup.multicastTtl >= 0)
        ok = setOption(s, IPPROTO_IP, IP_MULTICAST_TTL, static_cast<DWORD>(setup.multicastTtl));
    if (ok && setup.multicastLoop >= 0)
        ok = setOption(s, IPPROTO_IP, IP_MULTICAST_LOOP,
                       static_cast<DWORD>(setup.multicastLoop != 0));
    if (!ok) {
        ::closesocket(s);
        return aErrIO;
    }
    out = socketToInt(s);
    return aErrNone;
}

aErr sendDatagram(SocketHandle socket, uint32_t address, uint16_t port, const uint8_t* bytes,
                  size_t count) {
    const sockaddr_in sa = ipv4(address, port);
    const int sent =
        ::sendto(intToSocket(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count),
                 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return sent == static_cast<int>(count) ? aErrNone : aErrIO;
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
    int length = sizeof sa;
    // A datagram longer than the buffer fails with WSAEMSGSIZE after filling it; its full
    // length is not told, so the caller learns it was cut by a length above size.
    const int n = ::recvfrom(intToSocket(socket), reinterpret_cast<char*>(buffer),
                             static_cast<int>(size), 0, reinterpret_cast<sockaddr*>(&sa), &length);
    if (n < 0) {
        const int error = WSAGetLastError();
        if (error == WSAEMSGSIZE) {
            got = size + 1;
            from = sa.sin_addr.s_addr;
            return aErrNone;
        }
        return error == WSAEWOULDBLOCK ? aErrTimeout : aErrIO;
    }
    got = static_cast<size_t>(n);
    from = sa.sin_addr.s_addr;
    return aErrNone;
}

aErr listIPv4Interfaces(std::vector<uint32_t>& addresses, std::vector<uint32_t>* broadcasts) {
    addresses.clear();
    if (broadcasts)
        broadcasts->clear();
    ULONG size = 16384;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the two calls; a few tries are plenty.
    for (int tries = 0; tries < 4 && rc == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        rc = GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc == ERROR_NO_DATA)
        return aErrNone;
    if (rc != NO_ERROR)
        return aErrIO;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp)
            continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const sockaddr* sa = unicast->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET)
                continue;
            const uint32_t address = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
            addresses.push_back(address);
            uint32_t broadcast = 0;
            if (broadcasts && subnetBroadcast(address, unicast->OnLinkPrefixLength, broadcast))
                broadcasts->push_back(broadcast);
        }
    }
    return aErrNone;
}

} // namespace corvane::platform
