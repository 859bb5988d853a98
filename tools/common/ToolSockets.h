// The sockets of the product tools (the virtual module's TCP server, the update server's
// listening socket): the only place the tools learn which system they run on; one backend per
// system under linux/ and windows/.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sockaddr;

namespace Corvane::Tools::os {

// A socket as a number; on Windows the kernel handle's value, which stays far below INT_MAX.
using Socket = int;
constexpr Socket kNoSocket = -1;

// The reason the last socket call of this thread failed, as the system words it.
std::string lastSocketError();

// An IPv4 address in dotted form, in network byte order. False for anything else.
bool ipv4FromText(const std::string& text, uint32_t& networkOrder);

// The numeric text of an IPv4 or IPv6 socket address; "?" for any other family or none.
std::string addressText(const sockaddr* address);

// Where opening a listening socket stopped.
enum class ListenStep { done, address, create, bind, listen };

struct ListenRequest {
    std::string address; // numeric IPv4, or IPv6 when allowIpv6
    uint16_t port = 0;   // 0: any free port, read back into boundPort
    bool allowIpv6 = false;
    bool nonBlocking = false; // accept never waits
    int backlog = 8;
};

// A TCP socket listening as asked, with address reuse on (a restarted tool takes its port back
// at once). On failure out is kNoSocket and lastSocketError() tells why (but for address).
ListenStep listenTcp(const ListenRequest& request, Socket& out, uint16_t& boundPort, bool& ipv6);

enum class AcceptOutcome {
    accepted,  // out is a non-blocking connection with no-delay on
    none,      // no connection waits (or it went away before it was taken)
    exhausted, // out of descriptors or memory: the connection stays queued
};
AcceptOutcome acceptConnection(Socket listening, Socket& out);

enum class Transfer {
    moved,      // count bytes moved (more than 0)
    wouldBlock, // nothing can move now
    closed,     // the peer ended the connection in order (receive only)
    failed      // the connection is lost; lastSocketError() tells why
};
// Each moves what it can without waiting; a broken connection never raises a signal.
Transfer sendSome(Socket socket, const uint8_t* bytes, size_t size, size_t& count);
Transfer receiveSome(Socket socket, uint8_t* buffer, size_t size, size_t& count);

// Makes the next close reset the connection instead of ending it in order.
void resetOnClose(Socket socket);
// Ends both directions of a connection whose socket someone else closes later.
void shutdownSocket(Socket socket);
// kNoSocket is ignored.
void closeSocket(Socket socket);

// One thread raises it to end another's waitSockets early; it stays raised until drained, so a
// raise just before the wait begins is not lost.
struct Wake {
    int readEnd = -1;
    int writeEnd = -1;
};
bool makeWake(Wake& wake);
void raiseWake(const Wake& wake);
void drainWake(const Wake& wake);
void closeWake(Wake& wake);

struct Watched {
    Socket socket = kNoSocket; // kNoSocket: skipped
    bool read = false;
    bool write = false;
    // Set by waitSockets:
    bool readable = false; // input, an end, or a fault that the next receive reports
    bool writable = false;
};

enum class WaitOutcome { ready, woken, timedOut, failed };
// Waits at most timeout until a watched socket is ready or wake is raised (woken wins: the
// sockets' flags are set all the same). A signal counts as a timeout.
WaitOutcome waitSockets(std::vector<Watched>& sockets, const Wake& wake,
                        std::chrono::nanoseconds timeout);

// Timed waits of this thread end as close to their time as the system allows (Linux adds 50 us
// of slack to each by default).
void preciseTimedWaits();

} // namespace Corvane::Tools::os
