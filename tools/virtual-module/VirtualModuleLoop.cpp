// The virtual module's connection loop: one thread that accepts host connections on a TCP
// socket and runs every connection through a poll loop (packets in, answers and heartbeats out).
#include "VirtualModuleImpl.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

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
        os::closeSocket(listenFd);
        listenFd = os::kNoSocket;
        os::closeWake(loopWake);
        return false;
    };
    if (config.identity.address == 0 || (config.identity.address & 1) != 0)
        return fail("the module address must be even and non-zero");
    os::ListenRequest request;
    request.address = config.bindAddress;
    request.port = config.port;
    request.nonBlocking = true;
    bool ipv6 = false;
    switch (os::listenTcp(request, listenFd, boundPort, ipv6)) {
    case os::ListenStep::done: break;
    case os::ListenStep::address: return fail("not an IPv4 address: " + config.bindAddress);
    case os::ListenStep::create: return fail("cannot create a socket: " + os::lastSocketError());
    case os::ListenStep::bind:
        return fail("cannot listen on " + config.bindAddress + ":" + std::to_string(config.port) +
                    ": " + os::lastSocketError());
    case os::ListenStep::listen: return fail("cannot listen: " + os::lastSocketError());
    }
    if (!os::makeWake(loopWake))
        return fail("cannot create an event: " + os::lastSocketError());
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
        std::size_t n = 0;
        const os::Transfer t = os::sendSome(c.fd, c.out.data() + sent, c.out.size() - sent, n);
        if (t == os::Transfer::moved) {
            sent += n;
            continue;
        }
        if (t == os::Transfer::wouldBlock)
            break;
        trace("connection lost while sending: %s", os::lastSocketError().c_str());
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
        std::size_t n = 0;
        const os::Transfer t = os::receiveSome(c.fd, buffer, sizeof buffer, n);
        if (t == os::Transfer::closed) {
            trace("host closed its connection");
            c.closing = true;
            return;
        }
        if (t == os::Transfer::failed) {
            trace("connection lost while reading: %s", os::lastSocketError().c_str());
            c.closing = true;
            return;
        }
        if (t == os::Transfer::wouldBlock)
            return;
        packets.clear();
        counters.noiseBytes += c.parser.feed(buffer, n, packets);
        for (const WirePacket& packet : packets) {
            handle(c, packet);
            if (c.closing)
                return;
        }
        if (n < sizeof buffer)
            return;
    }
}

void VirtualModule::Impl::acceptAll() {
    while (!unplugged.load()) {
        os::Socket fd = os::kNoSocket;
        const os::AcceptOutcome accepted = os::acceptConnection(listenFd, fd);
        if (accepted == os::AcceptOutcome::exhausted) {
            trace("accept failed: %s; serving the open connections", os::lastSocketError().c_str());
            acceptResume = Clock::now() + kAcceptBackOff;
            return;
        }
        if (accepted == os::AcceptOutcome::none)
            return; // none waits, or a connection that went away before we took it
        if (current.exclusive && !connections.empty()) {
            trace("held by another host; refusing a connection");
            os::closeSocket(fd);
            continue;
        }
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
    os::preciseTimedWaits();
    std::vector<os::Watched> watched;
    // Fault changes take effect from the next thing the module does, however long it slept.
    auto takeFaults = [this] {
        std::lock_guard<std::mutex> lock(faultsMutex);
        current = faults;
    };
    while (!stopping.load()) {
        takeFaults();
        if (unplugged.load() && listenFd >= 0) {
            trace("unplugged: refusing connections from now on");
            os::closeSocket(listenFd);
            listenFd = os::kNoSocket;
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
            if (c->closing && c->reset)
                os::resetOnClose(c->fd);
            return c->closing;
        });

        const bool accepting = Clock::now() >= acceptResume;
        if (!accepting && acceptResume < wake)
            wake = acceptResume;
        watched.clear();
        watched.push_back({listenFd, accepting, false});
        for (auto& c : connections)
            watched.push_back({c->fd, true, !c->out.empty()});
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::max(wake - Clock::now(), Clock::duration::zero()));
        const os::WaitOutcome ready = os::waitSockets(watched, loopWake, wait);
        if (ready == os::WaitOutcome::failed) {
            trace("poll failed: %s", os::lastSocketError().c_str());
            break;
        }
        if (ready == os::WaitOutcome::timedOut)
            continue;
        takeFaults();
        if (ready == os::WaitOutcome::woken)
            os::drainWake(loopWake);
        // Connections accepted below have no entry in watched yet; they are polled next turn.
        const std::size_t polled = connections.size();
        for (std::size_t i = 0; i < polled; ++i) {
            Connection& c = *connections[i];
            if (watched[i + 1].readable)
                readFrom(c);
            if (!c.closing && !c.out.empty())
                flush(c);
        }
        if (watched[0].readable)
            acceptAll();
    }
    closeAll();
}

} // namespace Corvane::Tools
