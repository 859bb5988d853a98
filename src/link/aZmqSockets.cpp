// ZeroMQ helpers of the sharing server and client: CZMQ's start, in-process socket pairs and the
// servers of this process.
#include "aZmqSockets.h"

#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace corvane {

bool SocketPair::open() {
    czmqPrepare();
    static std::atomic<uint32_t> nextPair{0};
    bound = zsock_new(ZMQ_DEALER);
    connected = zsock_new(ZMQ_DEALER);
    if (bound == nullptr || connected == nullptr)
        return false;
    // In-process transport: both ends live in this process, and a trip through a loopback TCP
    // pair costs two I/O-thread hand-offs per hop.
    const uint32_t pair = nextPair++;
    const int pid = static_cast<int>(platform::currentProcessId());
    return zsock_bind(bound, "inproc://corvane-pair-%d-%u", pid, pair) == 0 &&
           zsock_connect(connected, "inproc://corvane-pair-%d-%u", pid, pair) == 0;
}

void SocketPair::close() {
    zsock_destroy(&bound);
    zsock_destroy(&connected);
}

namespace {

struct InprocServers {
    std::mutex lock;
    std::map<std::pair<uint32_t, uint16_t>, std::shared_ptr<InprocServer>> servers; // by lock
};

// Never destroyed: servers may still stop while static objects go at exit.
InprocServers& inprocServers() {
    static InprocServers* servers = new InprocServers;
    return *servers;
}

} // namespace

void czmqPrepare() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The application sees SIGINT and SIGTERM itself; CZMQ would otherwise take them over.
        zsys_handler_set(nullptr);
        // CZMQ ends its context at exit; registered after it, our hook runs before that.
        zsys_init();
        atExitArm();
    });
}

std::string inprocClientIdentity() {
    static std::atomic<uint32_t> next{0};
    return "corvane-client-" + std::to_string(next++);
}

std::string inprocServerEndpoint(uint32_t address, uint16_t port) {
    return "inproc://corvane-server-" + std::to_string(address) + "-" + std::to_string(port);
}

void inprocServerAdd(uint32_t address, uint16_t port, std::shared_ptr<InprocServer> server) {
    InprocServers& s = inprocServers();
    std::lock_guard<std::mutex> lock(s.lock);
    s.servers[{address, port}] = std::move(server);
}

void inprocServerRemove(uint32_t address, uint16_t port) {
    InprocServers& s = inprocServers();
    std::lock_guard<std::mutex> lock(s.lock);
    s.servers.erase({address, port});
}

std::shared_ptr<InprocServer> inprocServerFind(uint32_t address, uint16_t port) {
    InprocServers& s = inprocServers();
    std::lock_guard<std::mutex> lock(s.lock);
    const auto found = s.servers.find({address, port});
    return found != s.servers.end() ? found->second : nullptr;
}

} // namespace corvane
