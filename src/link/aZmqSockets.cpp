// Helpers of the sharing server and client: CZMQ's start, in-process socket pairs, the inboxes
// of in-process clients and the servers of this process.
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
    std::lock_guard<std::mutex> guard(lock_);
    if (frames_.size() >= kLimit)
        return false;
    frames_.emplace_back(bytes, bytes + size);
    // A client that takes its frames on the thread that put them costs no system call.
    if (waiters_ > 0 && !raised_) {
        raised_ = true;
        platform::raiseWake(wake_);
    }
    return true;
}

bool InprocInbox::take(std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> guard(lock_);
    if (frames_.empty())
        return false;
    frame = std::move(frames_.front());
    frames_.pop_front();
    if (frames_.empty() && raised_ && !woken_) {
        raised_ = false;
        platform::clearWake(wake_);
    }
    return true;
}

aErr InprocInbox::await(uint32_t timeoutMs, int cancel) {
    const uint64_t deadline = platform::monotonicMilliseconds() + timeoutMs;
    for (;;) {
        uint64_t left = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!frames_.empty() || woken_)
                return aErrNone;
            const uint64_t now = platform::monotonicMilliseconds();
            if (now >= deadline)
                return aErrNotReady;
            left = deadline - now;
            // Counted under the lock: a put after the look above raises the wake-up.
            ++waiters_;
        }
        const int fds[2] = {wake_, cancel};
        bool ready[2] = {false, false};
        const aErr waited =
            platform::waitAnyReadable(fds, ready, cancel >= 0 ? 2 : 1, static_cast<uint32_t>(left));
        {
            std::lock_guard<std::mutex> guard(lock_);
            --waiters_;
        }
        if (waited == aErrIO)
            return aErrIO;
        if (ready[1])
            return aErrCancel;
        // Woken for a frame another thread took meanwhile, or the time ran out: look again.
    }
}

void InprocInbox::wake() {
    std::lock_guard<std::mutex> guard(lock_);
    woken_ = true;
    if (!raised_) {
        raised_ = true;
        platform::raiseWake(wake_);
    }
}

std::string inprocClientIdentity() {
    static std::atomic<uint32_t> next{0};
    return "corvane-client-" + std::to_string(next++);
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
