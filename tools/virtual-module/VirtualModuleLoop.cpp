// The virtual module's connection loop: one thread that accepts host connections on a TCP
// socket and runs every connection through a poll loop (packets in, answers and heartbeats out).
#include "VirtualModuleImpl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Corvane::Tools {

namespace {

using Clock = std::chrono::steady_clock;

// A host that stops reading, or sends far ahead of a delayed module, loses its connection once
// this much waits unsent (bytes, or packets waiting out the latency).
constexpr std::size_t kMaxUnsent = 1u << 20;
constexpr std::size_t kMaxDelayed = 1u << 16;
constexpr std::size_t kReadChunk = 16384;
// Reads from one connection per loop turn: a host that never pauses must not keep the module
// from its other connections, its heartbeats and a stop.
constexpr int kReadsPerTurn = 8;
// Out of descriptors, the pending connection stays and the listening socket stays readable:
// pause accepting this long instead of retrying at once.
constexpr std::chrono::milliseconds kAcceptBackOff{250};
// A timed wait ends some tens of microseconds late on an idle machine, which would add to every
// emulated latency: this close to a delayed packet's time the loop polls without sleeping.
constexpr std::chrono::microseconds kOnTimeSpan{100};

// The second byte of a heartbeat: the module is up, or going away.
constexpr uint8_t kHeartbeatUp = 0;
constexpr uint8_t kHeartbeatDown = 1;

} // namespace

void VirtualModule::Impl::trace(const char* format, ...) {
    if (!config.verbose)
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "virtual-module: %s\n", line);
}

bool VirtualModule::Impl::open(std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error)
            *error = what;
        if (listenFd >= 0)
            ::close(listenFd);
        if (wakeFd >= 0)
            ::close(wakeFd);
        listenFd = wakeFd = -1;
        return false;
    };
    if (config.identity.address == 0 || (config.identity.address & 1) != 0)
        return fail("the module address must be even and non-zero");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(config.port);
    if (::inet_pton(AF_INET, config.bindAddress.c_str(), &addr.sin_addr) != 1)
        return fail("not an IPv4 address: " + config.bindAddress);
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0)
        return fail(std::string("cannot create a socket: ") + std::strerror(errno));
    const int on = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return fail("cannot listen on " + config.bindAddress + ":" + std::to_string(config.port) +
                    ": " + std::strerror(errno));
    if (::listen(listenFd, 8) != 0)
        return fail(std::string("cannot listen: ") + std::strerror(errno));
    socklen_t length = sizeof addr;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &length);
    boundPort = ntohs(addr.sin_port);
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0)
        return fail(std::string("cannot create an event: ") + std::strerror(errno));
    return true;
}

void VirtualModule::Impl::queue(Connection& c, const WirePacket& packet) {
    if (current.mute || c.closing || c.draining)
        return;
    std::vector<uint8_t> bytes;
    if (current.garbage) {
        const std::size_t n = 1 + random() % 32;
        for (std::size_t i = 0; i < n; ++i)
            bytes.push_back(static_cast<uint8_t>(random()));
    } else {
        packet.appendTo(bytes);
    }
    if (c.out.size() + c.delayedBytes + bytes.size() > kMaxUnsent ||
        c.delayed.size() >= kMaxDelayed) {
        trace("host does not read; closing its connection");
        c.closing = true;
        return;
    }
    if (config.latencyUs == 0 && c.delayed.empty()) {
        c.out.insert(c.out.end(), bytes.begin(), bytes.end());
        return;
    }
    c.delayedBytes += bytes.size();
    c.delayed.push_back(
        {Clock::now() + std::chrono::microseconds(config.latencyUs), std::move(bytes)});
}

void VirtualModule::Impl::releaseDue(Connection& c, Clock::time_point now) {
    while (!c.delayed.empty() && c.delayed.front().due <= now) {
        auto& bytes = c.delayed.front().bytes;
        c.out.insert(c.out.end(), bytes.begin(), bytes.end());
        c.delayedBytes -= bytes.size();
        c.delayed.pop_front();
    }
}

void VirtualModule::Impl::flush(Connection& c) {
    std::size_t sent = 0;
    while (sent < c.out.size()) {
        const ssize_t n =
            ::send(c.fd, c.out.data() + sent, c.out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        trace("connection lost while sending: %s", std::strerror(errno));
        c.closing = true;
        break;
    }
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(sent));
}

void VirtualModule::Impl::heartbeat(Connection& c, Clock::time_point now) {
    if (config.heartbeatMs == 0 || now < c.nextHeartbeat)
        return;
    c.nextHeartbeat = now + std::chrono::milliseconds(config.heartbeatMs);
    if (current.mute)
        return;
    if (current.garbage) {
        queue(c, WirePacket()); // noise where the heartbeat would be
        return;
    }
    if (c.pendingHeartbeats > 0)
        ++counters.missedHeartbeats;
    ++c.pendingHeartbeats;
    c.heartbeatAnswer = kHeartbeatUp + 2;
    ++counters.heartbeatsSent;
    queue(c, WirePacket(config.identity.address, {kCmdHeartbeat, kHeartbeatUp}));
}

void VirtualModule::Impl::readFrom(Connection& c) {
    uint8_t buffer[kReadChunk];
    std::vector<WirePacket> packets;
    for (int reads = 0; reads < kReadsPerTurn; ++reads) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) {
            trace("host closed its connection");
            c.closing = true;
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                trace("connection lost while reading: %s", std::strerror(errno));
                c.closing = true;
            }
            return;
        }
        packets.clear();
        counters.noiseBytes += c.parser.feed(buffer, static_cast<std::size_t>(n), packets);
        for (const WirePacket& packet : packets) {
            handle(c, packet);
            if (c.closing)
                return;
        }
        if (static_cast<std::size_t>(n) < sizeof buffer)
            return;
    }
}

void VirtualModule::Impl::acceptAll() {
    while (!unplugged.load()) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            trace("accept failed: %s; serving the open connections", std::strerror(errno));
            acceptResume = Clock::now() + kAcceptBackOff;
            return;
        }
        if (fd < 0)
            return; // EAGAIN, or a connection that went away before we took it
        if (current.exclusive && !connections.empty()) {
            trace("held by another host; refusing a connection");
            ::close(fd);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto c = std::make_unique<Connection>(*this, fd);
        c->number = counters.connections + 1;
        c->nextHeartbeat = Clock::now() + std::chrono::milliseconds(config.heartbeatMs);
        connections.push_back(std::move(c));
        ++counters.connections;
        trace("host connected");
    }
}

void VirtualModule::Impl::closeAll() {
    for (auto& c : connections) {
        // A module going away says so with a "down" heartbeat; nobody waits for the answer.
        if (!current.mute && !c->closing && config.heartbeatMs != 0) {
            queue(*c, WirePacket(config.identity.address, {kCmdHeartbeat, kHeartbeatDown}));
            releaseDue(*c, Clock::time_point::max());
            flush(*c);
        }
    }
    connections.clear();
}

void VirtualModule::Impl::run() {
    // The emulated latency is the module's whole answer time: the kernel's default 50 us of
    // slack on every timed wait would add to it on each exchange.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    std::vector<pollfd> fds;
    // Fault changes take effect from the next thing the module does, however long it slept.
    auto takeFaults = [this] {
        std::lock_guard<std::mutex> lock(faultsMutex);
        current = faults;
    };
    while (!stopping.load()) {
        takeFaults();
        if (unplugged.load() && listenFd >= 0) {
            trace("unplugged: refusing connections from now on");
            ::close(listenFd);
            listenFd = -1;
        }
        const auto now = Clock::now();
        auto wake = now + std::chrono::seconds(1);
        auto nextDue = Clock::time_point::max();
        for (auto& c : connections) {
            heartbeat(*c, now);
            for (const PeriodicSource& source : periodic)
                if (!c->closing)
                    wake = std::min(wake, source(*c, now));
            releaseDue(*c, now);
            if (!c->out.empty())
                flush(*c);
            if (c->draining && c->delayed.empty() && c->out.empty() && now >= c->closeAt)
                c->closing = true;
            if (c->draining && c->closeAt < wake)
                wake = c->closeAt;
            if (config.heartbeatMs != 0 && c->nextHeartbeat < wake)
                wake = c->nextHeartbeat;
            if (!c->delayed.empty())
                nextDue = std::min(nextDue, c->delayed.front().due);
        }
        wake = std::min(wake, nextDue - kOnTimeSpan);
        std::erase_if(connections, [](const std::unique_ptr<Connection>& c) {
            if (c->closing && c->reset) {
                const linger abortive{1, 0};
                ::setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            }
            return c->closing;
        });

        const bool accepting = Clock::now() >= acceptResume;
        if (!accepting && acceptResume < wake)
            wake = acceptResume;
        fds.clear();
        fds.push_back({wakeFd, POLLIN, 0});
        fds.push_back({listenFd, static_cast<short>(accepting ? POLLIN : 0), 0});
        for (auto& c : connections)
            fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::max(wake - Clock::now(), Clock::duration::zero()));
        const timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                               static_cast<long>(wait.count() % 1000000000)};
        const int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            trace("poll failed: %s", std::strerror(errno));
            break;
        }
        if (ready <= 0)
            continue;
        takeFaults();
        if (fds[0].revents != 0) {
            uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
        }
        // Connections accepted below have no entry in fds yet; they are polled next turn.
        const std::size_t polled = connections.size();
        for (std::size_t i = 0; i < polled; ++i) {
            const short events = fds[i + 2].revents;
            Connection& c = *connections[i];
            if (events & (POLLIN | POLLHUP | POLLERR))
                readFrom(c);
            if (!c.closing && !c.out.empty())
                flush(c);
        }
        if (fds[1].revents & POLLIN)
            acceptAll();
    }
    closeAll();
}

} // namespace Corvane::Tools
