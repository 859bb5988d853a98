// Local-mode beacon datagrams on BSD sockets: broadcast on the loopback network with address
// and port reuse, so every listener on the host receives each datagram.
#include "platform/beacon.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

constexpr uint32_t kLoopbackBroadcast = 0x7FFFFFFF; // 127.255.255.255, host order

bool setFlag(int fd, int level, int option) {
    const int on = 1;
    return setsockopt(fd, level, option, &on, sizeof on) == 0;
}

} // namespace

aErr openLoopbackBeaconSocket(uint16_t port, SocketHandle& out) {
    out = invalidSocket;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!setFlag(fd, SOL_SOCKET, SO_REUSEADDR) || !setFlag(fd, SOL_SOCKET, SO_REUSEPORT) ||
        !setFlag(fd, SOL_SOCKET, SO_BROADCAST) ||
        bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return aErrIO;
    }
    out = fd;
    return aErrNone;
}

aErr sendLoopbackBeacon(SocketHandle socket, uint16_t port, const uint8_t* bytes, size_t count) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(kLoopbackBroadcast);
    ssize_t sent;
    do {
        sent = sendto(socket, bytes, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(count) ? aErrNone : aErrIO;
}

SocketOutcome receiveBeacon(SocketHandle socket, uint8_t* buffer, size_t size, size_t& got,
                            uint32_t& sender) {
    got = 0;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n;
    do {
        n = recvfrom(socket, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                     &fromLength);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? SocketOutcome::wouldBlock
                                                       : SocketOutcome::failed;
    got = static_cast<size_t>(n);
    sender = from.sin_addr.s_addr;
    return SocketOutcome::done;
}

} // namespace corvane::platform
