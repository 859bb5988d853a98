// TCP sockets for the socket stream: the operating-system procedures behind it, with every
// system error sorted into the few outcomes the stream acts on.
#ifndef CORVANE_PLATFORM_SOCKET_H
#define CORVANE_PLATFORM_SOCKET_H

#include "corvane/aError.h"

#include <cstddef>
#include <cstdint>

namespace corvane::platform {

using SocketHandle = int;
constexpr SocketHandle invalidSocket = -1;

enum class SocketOutcome {
    done,       // bytes moved (count may be 0 only for an empty request)
    wouldBlock, // nothing can move now
    peerClosed, // the peer ended the connection in order (receive only)
    lost,       // reset, aborted, not connected, timed out or broken: worth reconnecting
    failed      // anything else
};

// Creates a TCP socket and connects it to address (IPv4, network order) and port (host order),
// waiting at most timeoutMs; then sets no-delay on, no receive wait and linger on with time 0
// (closing resets). Each send and receive below says itself whether it waits. aErrConnection
// when the connection is refused, reset, or times out; aErrIO when the socket cannot be made or
// set up, or connecting fails otherwise.
aErr connectTcp(uint32_t address, uint16_t port, uint32_t timeoutMs, SocketHandle& out);

// Takes up to size received bytes without waiting.
SocketOutcome receiveSocket(SocketHandle socket, uint8_t* buffer, size_t size, size_t& got);

// Sets how long receiveSocketWaiting waits at most (at least 1 ms). aErrIO when the socket
// refuses it.
aErr setSocketReceiveWait(SocketHandle socket, uint32_t timeoutMs);

// Waits up to the receive wait for bytes and takes up to size of them, in one system call:
// wouldBlock when none came in time (or a signal came), else as receiveSocket.
SocketOutcome receiveSocketWaiting(SocketHandle socket, uint8_t* buffer, size_t size, size_t& got);

// Waits at most timeoutMs (0: only looks) until the socket has bytes to receive, or an end or
// fault that a receive will report. aErrNone when it has, aErrNotReady when the time ran out,
// aErrIO when the wait itself failed.
aErr waitSocketReadable(SocketHandle socket, uint32_t timeoutMs);

// Sends up to count bytes without waiting and without raising a signal on a broken connection.
SocketOutcome sendSocket(SocketHandle socket, const uint8_t* bytes, size_t count, size_t& sent);

// Closes the socket; invalidSocket is ignored.
void closeSocket(SocketHandle socket);

} // namespace corvane::platform

#endif
