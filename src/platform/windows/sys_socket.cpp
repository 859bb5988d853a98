// TCP sockets on Winsock: non-blocking connect with a deadline, then a non-blocking socket with
// no-delay and an abortive close. Winsock has no per-call "do not wait", so the socket stays
// non-blocking and a receive that may wait selects first, for the wait the stream set.
#include "platform/socket.h"

#include "platform/hot_path.h"
#include "platform/platform.h"
#include "sys_poll.h"
#include "win_common.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace corvane::platform {

namespace {

// The receive wait each socket was given, as SO_RCVTIMEO keeps it on Linux.
std::mutex gWaitLock;
std::unordered_map<int, uint32_t> gReceiveWaits; // guarded by gWaitLock

SocketOutcome outcomeOf(int error) {
    switch (error) {
    case WSAEWOULDBLOCK:
    case WSAEINTR: return SocketOutcome::wouldBlock;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:
    case WSAETIMEDOUT:
    case WSAESHUTDOWN:
    case WSAENETRESET:
    case WSAENOTSOCK: return SocketOutcome::lost;
    default: return SocketOutcome::failed;
    }
}

aErr connectErrorOf(int error) {
    switch (error) {
    case WSAECONNREFUSED:
    case WSAECONNRESET:
    case WSAETIMEDOUT:
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS: return aErrConnection;
    default: return aErrIO;
    }
}

// Waits for a non-blocking connect to finish; returns the connection's error code.
int finishConnect(SOCKET s, uint32_t timeoutMs) {
    const uint64_t deadline = monotonicMilliseconds() + timeoutMs;
    for (;;) {
        const uint64_t now = monotonicMilliseconds();
        if (now >= deadline)
            return WSAETIMEDOUT;
        const uint64_t left = deadline - now;
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
        // A refused connect shows in the exception set, not the writable one.
        const int rc = ::select(0, nullptr, &writable, &failed, &wait);
        if (rc == SOCKET_ERROR)
            return WSAGetLastError();
        if (rc == 0)
            continue;
        int error = 0;
        int length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
            return WSAGetLastError();
        return FD_ISSET(s, &failed) && error == 0 ? WSAECONNREFUSED : error;
    }
}

} // namespace

aErr connectTcp(uint32_t address, uint16_t port, uint32_t timeoutMs, SocketHandle& out) {
    out = invalidSocket;
    if (!winsockReady())
        return aErrIO;
    const SOCKET s =
        ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return aErrIO;
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return aErrIO;
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = address;
    int error = 0;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            error = finishConnect(s, timeoutMs);
    }
    if (error != 0) {
        ::closesocket(s);
        return connectErrorOf(error);
    }
    const BOOL on = TRUE;
    const linger abortive{1, 0};
    if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) !=
            0 ||
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                     sizeof abortive) != 0) {
        ::closesocket(s);
        return aErrIO;
    }
    out = socketToInt(s);
    return aErrNone;
}

SocketOutcome receiveSocket(SocketHandle socket, uint8_t* buffer, size_t size, size_t& got) {
    got = 0;
    const int n = ::recv(intToSocket(socket), reinterpret_cast<char*>(buffer),
                         static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return SocketOutcome::done;
    }
    if (n == 0)
        return size == 0 ? SocketOutcome::done : SocketOutcome::peerClosed;
    return outcomeOf(WSAGetLastError());
}

aErr setSocketReceiveWait(SocketHandle socket, uint32_t timeoutMs) {
    // A zero time-out would wait for ever on Linux; here it keeps the same floor.
    std::lock_guard lock(gWaitLock);
    gReceiveWaits[socket] = std::max<uint32_t>(timeoutMs, 1);
    return aErrNone;
}

CORVANE_HOT_PATH SocketOutcome receiveSocketWaiting(SocketHandle socket, uint8_t* buffer,
                                                    size_t size, size_t& got) {
    got = 0;
    uint32_t waitMs = 1;
    {
        std::lock_guard lock(gWaitLock);
        if (auto found = gReceiveWaits.find(socket); found != gReceiveWaits.end())
            waitMs = found->second;
    }
    const aErr ready = waitReadable(socket, waitMs);
    if (ready == aErrNotReady)
        return SocketOutcome::wouldBlock;
    if (ready != aErrNone)
        return SocketOutcome::failed;
    return receiveSocket(socket, buffer, size, got);
}

aErr waitSocketReadable(SocketHandle socket, uint32_t timeoutMs) {
    return waitReadable(socket, timeoutMs);
}

CORVANE_HOT_PATH SocketOutcome sendSocket(SocketHandle socket, const uint8_t* bytes, size_t count,
                                          size_t& sent) {
    sent = 0;
    const int n = ::send(intToSocket(socket), reinterpret_cast<const char*>(bytes),
                         static_cast<int>(std::min<size_t>(count, INT_MAX)), 0);
    if (n >= 0) {
        sent = static_cast<size_t>(n);
        return SocketOutcome::done;
    }
    return outcomeOf(WSAGetLastError());
}

void closeSocket(SocketHandle socket) {
    if (socket == invalidSocket)
        return;
    {
        std::lock_guard lock(gWaitLock);
        gReceiveWaits.erase(socket);
    }
    ::closesocket(intToSocket(socket));
}

} // namespace corvane::platform
