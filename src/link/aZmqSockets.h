// ZeroMQ helpers shared by the sharing server and the client stream: CZMQ's start, in-process
// socket pairs, the at-exit hooks and the registry of this process's servers.
#pragma once

#include <czmq.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

// Starts CZMQ for the library once: its own signal handling off (the application keeps SIGINT
// and SIGTERM), and the at-exit hooks below. Every user of CZMQ here calls it first.
void czmqPrepare();

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

// Runs end at exit, before CZMQ ends its context (which would pull the sockets from under
// running tasks), after every link's threads have stopped. For servers and client streams still
// alive then; atExitCancel(owner) when they end first.
void atExitRegister(void* owner, std::function<void()> end);
void atExitCancel(void* owner);

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
