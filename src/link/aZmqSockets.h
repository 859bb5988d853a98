// ZeroMQ helpers shared by the sharing server and the client stream: the internal socket pairs
// and sends that never block for long.
#pragma once

#include <czmq.h>

#include <cstddef>
#include <cstdint>

namespace corvane {

// Two DEALER sockets joined inside the process: `bound` binds a name of its own, `connected`
// connects to it. Each end is used by one thread only.
struct SocketPair {
    zsock_t* bound = nullptr;
    zsock_t* connected = nullptr;

    // False when a socket cannot be made, bound or connected; what was made is kept for
    // close() to free.
    bool open();
    void close();
};

// Sends one frame of bytes without blocking, trying up to 100 times 1 ms apart while the
// socket cannot take it. flags may add ZMQ_SNDMORE. False when it never went.
bool sendBounded(zsock_t* socket, const void* bytes, std::size_t count, int flags = 0);

} // namespace corvane
