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

InprocInbox::InprocInbox() : wake_(platform::noWake) {
    if (platform::makeWake(wake_) != aErrNone)
        wake_ = platform::noWake;
}

InprocInbox::~InprocInbox() {
    platform::closeWake(wake_);
}

bool InprocInbox::usable() const {
    return wake_ != platform::noWake;
}

bool InprocInbox::put(const uint8_t* bytes, std::size_t size) {
    bool waiting = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (frames_.size() >= kLimit)
            return false;
        frames_.emplace_back(bytes, bytes + size);
        waiting = waiting_;
    }
    if (waiting)
        platform::raiseWake(wake_);
    return true;
}

bool InprocInbox::take(std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> guard(lock_);
    if (frames_.empty())
        return false;
    frame = std::move(frames_.front());
    frames_.pop_front();
    return true;
}

aErr InprocInbox::await(uint32_t timeoutMs) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!frames_.empty())
            return aErrNone;
        if (timeoutMs == 0)
            return aErrNotReady;
        // Set under the lock: a put after the look above sees it and raises the wake-up.
        waiting_ = true;
    }
    bool raised = false;
    const aErr waited = platform::waitAnyReadable(&wake_, &raised, 1, timeoutMs);
    {
        std::lock_guard<std::mutex> guard(lock_);
        waiting_ = false;
    }
    // A put that saw the wait may raise it only now: the next wait then ends early once.
    if (raised)
        platform::clearWake(wake_);
    return waited;
}

void InprocInbox::wake() {
    platform::raiseWake(wake_);
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
