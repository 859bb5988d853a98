// Windows backend of the readable waits (select against a monotonic deadline) and of the
// wake-ups that end them early: a UDP socket on the loopback that sends to itself, so that a
// select on it and a module's socket ends with whichever comes first. Watch sets are not
// offered; the socket stream then polls its socket together with the wake.
#include "sys_poll.h"

#include "platform/platform.h"
#include "win_common.h"

#include <algorithm>

namespace corvane::platform {

namespace {

timeval timevalOf(uint64_t ms) {
    return timeval{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
}

// One select over count sockets for at most ms; the number ready, or SOCKET_ERROR.
int selectReadable(const int* sockets, size_t count, fd_set& set, uint64_t ms) {
    FD_ZERO(&set);
    for (size_t i = 0; i < count; ++i)
        FD_SET(intToSocket(sockets[i]), &set);
    timeval wait = timevalOf(ms);
    // The first argument is ignored on Windows; an empty set would fail, so count > 0.
    return ::select(0, &set, nullptr, nullptr, &wait);
}

} // namespace

aErr waitReadable(int socket, uint32_t timeoutMs) {
    bool ready = false;
    return waitAnyReadable(&socket, &ready, 1, timeoutMs);
}

aErr waitAnyReadable(const int* fds, bool* ready, size_t count, uint32_t timeoutMs) {
    constexpr size_t kMost = 8;
    if (count == 0 || count > kMost)
        return aErrParam;
    const uint64_t deadline = monotonicMilliseconds() + timeoutMs;
    uint64_t left = timeoutMs;
    for (;;) {
        fd_set set;
        const int rc = selectReadable(fds, count, set, left);
        for (size_t i = 0; i < count; ++i)
            ready[i] = rc > 0 && FD_ISSET(intToSocket(fds[i]), &set);
        if (rc > 0)
            return aErrNone;
        if (rc == SOCKET_ERROR && WSAGetLastError() != WSAEINTR)
            return aErrIO;
        // select may end a hair early on a coarse timer: what is left of the time, if any.
        const uint64_t now = monotonicMilliseconds();
        left = deadline > now ? deadline - now : 0;
        if (left == 0)
            return aErrNotReady;
    }
}

aErr awaitReadableOrWake(int fd, WakeHandle wake, uint32_t timeoutMs) {
    const int fds[2] = {fd, wake};
    bool ready[2] = {false, false};
    const aErr waited = waitAnyReadable(fds, ready, wake == noWake ? 1 : 2, timeoutMs);
    if (waited != aErrNone)
        return waited;
    return ready[1] ? aErrCancel : aErrNone;
}

aErr makeWake(WakeHandle& out) {
    out = noWake;
    if (!winsockReady())
        return aErrResource;
    const SOCKET s =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return aErrResource;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    u_long nonBlocking = 1;
    // Bound to a port of its own and connected to it: each raise is a datagram to itself.
    if (::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return aErrResource;
    }
    out = socketToInt(s);
    return aErrNone;
}

void raiseWake(WakeHandle wake) {
    if (wake == noWake)
        return;
    const char one = 1;
    // A full buffer means it is raised already.
    ::send(intToSocket(wake), &one, 1, 0);
}

void clearWake(WakeHandle wake) {
    if (wake == noWake)
        return;
    char byte;
    // Every raise is a datagram of its own; the wake is clear once none is left.
    for (int i = 0; i < 4096 && ::recv(intToSocket(wake), &byte, 1, 0) >= 0; ++i) {
    }
}

void closeWake(WakeHandle wake) {
    if (wake != noWake)
        ::closesocket(intToSocket(wake));
}

// Windows has no counterpart of epoll whose members another thread may mute meanwhile; the
// socket stream polls its socket with the wake instead.
aErr makeWatchSet(WatchSet& out) {
    out = noWatchSet;
    return aErrResource;
}

aErr addToWatchSet(WatchSet, int, bool) {
    return aErrIO;
}

aErr muteInWatchSet(WatchSet, int, bool) {
    return aErrIO;
}

void removeFromWatchSet(WatchSet, int) {}

aErr awaitWatchSet(WatchSet, const int*, bool* ready, size_t count, uint32_t) {
    for (size_t i = 0; i < count; ++i)
        ready[i] = false;
    return aErrIO;
}

void closeWatchSet(WatchSet) {}

} // namespace corvane::platform
