// Local-mode beacon datagrams on Winsock: broadcast on the loopback network with address reuse,
// so every listener on the host receives each datagram (Winsock's SO_REUSEADDR also shares the
// port, which Linux needs SO_REUSEPORT for).
#include "platform/beacon.h"

#include "win_common.h"

namespace corvane::platform {

namespace {

constexpr uint32_t kLoopbackBroadcast = 0x7FFFFFFF; // 127.255.255.255, host order

bool setFlag(SOCKET s, int option) {
    const BOOL on = TRUE;
    return ::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

} // namespace

aErr openLoopbackBeaconSocket(uint16_t port, SocketHandle& out) {
    out = invalidSocket;
    if (!winsockReady())
        return aErrIO;
    const SOCKET s =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return aErrIO;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    u_long nonBlocking = 1;
    if (!setFlag(s, SO_REUSEADDR) || !setFlag(s, SO_BROADCAST) ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::closesocket(s);
        return aErrIO;
    }
    out = socketToInt(s);
    return aErrNone;
}

aErr sendLoopbackBeacon(SocketHandle socket, uint16_t port, const uint8_t* bytes, size_t count) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(kLoopbackBroadcast);
    const int sent =
        ::sendto(intToSocket(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count),
                 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<int>(count) ? aErrNone : aErrIO;
}

SocketOutcome receiveBeacon(SocketHandle socket, uint8_t* buffer, size_t size, size_t& got,
                            uint32_t& sender) {
    got = 0;
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int n =
        ::recvfrom(intToSocket(socket), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0,
                   reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
        const int error = WSAGetLastError();
        // The rest of a longer datagram is dropped, as on Linux.
        if (error == WSAEMSGSIZE) {
            got = size;
            sender = from.sin_addr.s_addr;
            return SocketOutcome::done;
        }
        return error == WSAEWOULDBLOCK ? SocketOutcome::wouldBlock : SocketOutcome::failed;
    }
    got = static_cast<size_t>(n);
    sender = from.sin_addr.s_addr;
    return SocketOutcome::done;
}

} // namespace corvane::platform
