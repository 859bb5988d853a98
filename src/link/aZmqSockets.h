// ZeroMQ helpers shared by the sharing server and the client stream: the internal socket pairs
// and sends that never block for long.
#pragma once

#include <czmq.h>

#include <cstddef>
#include <cstdint>
#include <string>

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

// Sharing servers of this process by address and port: a client of one of them connects to the
// server's in-process endpoint, which spares each trip two passes through ZeroMQ's TCP I/O
// thread. Clients in other processes use TCP as ever.
std::string inprocServerEndpoint(uint32_t address, uint16_t port);
void inprocServerAdd(uint32_t address, uint16_t port);
void inprocServerRemove(uint32_t address, uint16_t port);
// The in-process endpoint of the server at address and port, or "" when it is not in this
// process.
std::string inprocServerFind(uint32_t address, uint16_t port);

} // namespace corvane
