// The virtual module's inside, shared by its files: the public face (VirtualModule.cpp), the
// connection loop (VirtualModuleLoop.cpp) and the built-in handlers (VirtualModuleHandlers.cpp).
#pragma once

#include "ToolSockets.h"
#include "VirtualModule.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace Corvane::Tools {

struct VirtualModule::Impl {
    using Clock = std::chrono::steady_clock;

    // A module that restarts leaves its connection this long after its last answer went out.
    static constexpr std::chrono::milliseconds kRestartTime{20};

    struct Counters {
        std::atomic<uint64_t> connections{0}, packetsReceived{0}, noiseBytes{0}, syncRequests{0},
            routingOn{0}, routingOff{0}, heartbeatsSent{0}, heartbeatAnswers{0},
            badHeartbeatAnswers{0}, missedHeartbeats{0}, modelQueries{0}, unhandledPackets{0},
            droppedConnections{0};
    };

    struct Delayed {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    struct Connection final : ModuleConnection {
        Connection(Impl& o, os::Socket f) : owner(o), fd(f) {}
        ~Connection() override { os::closeSocket(fd); }
        const ModuleIdentity& identity() const override { return owner.config.identity; }
        void send(const WirePacket& packet) override { owner.queue(*this, packet); }
        void close() override { closeAfter(kRestartTime); }
        void closeAfter(std::chrono::milliseconds silence) override {
            draining = true;
            closeAt = Clock::now() + std::max<Clock::duration>(silence, kRestartTime);
        }
        void abort() override { closing = reset = true; }
        uint64_t id() const override { return number; }

        Impl& owner;
        os::Socket fd;
        FrameParser parser;
        std::deque<Delayed> delayed; // packets waiting out the latency, in order
        std::size_t delayedBytes = 0;
        std::vector<uint8_t> out; // bytes due now, not yet taken by the socket
        uint64_t packets = 0;
        Clock::time_point nextHeartbeat;
        // Heartbeats sent and not answered yet: on a slow host an answer can come after the next
        // heartbeat went out, and is still an answer, not a bad one.
        unsigned pendingHeartbeats = 0;
        uint8_t heartbeatAnswer = 0; // the second data byte the host must answer with
        bool closing = false;
        bool reset = false;    // close with a reset instead of an orderly shutdown
        bool draining = false; // close once the queued packets are sent and closeAt passed
        Clock::time_point closeAt;
        uint64_t number = 0;
    };

    explicit Impl(VirtualModuleConfig c) : config(std::move(c)), random(config.seed) {
        faults = config.faults;
        installBuiltInHandlers();
    }

    void installBuiltInHandlers();
    bool open(std::string* error);
    void run();
    void acceptAll();
    void readFrom(Connection& c);
    void handle(Connection& c, const WirePacket& packet);
    void queue(Connection& c, const WirePacket& packet);
    void releaseDue(Connection& c, Clock::time_point now);
    void flush(Connection& c);
    void heartbeat(Connection& c, Clock::time_point now);
    void closeAll();
    void trace(const char* format, ...) __attribute__((format(printf, 2, 3)));

    VirtualModuleConfig config;
    std::array<PacketHandler, 256> handlers{}; // written before start, then module thread only
    std::function<void(const WirePacket&)> observer;
    std::function<bool(ModuleConnection&, const WirePacket&)> filter;
    std::vector<PeriodicSource> periodic; // written before start

    os::Socket listenFd = os::kNoSocket;
    os::Wake loopWake; // raised to end the module thread's wait: a stop, an unplug, new faults
    uint16_t boundPort = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> unplugged{false};

    mutable std::mutex faultsMutex;
    FaultSettings faults;  // guarded by faultsMutex
    FaultSettings current; // the module thread's copy for one loop turn

    Counters counters;
    std::vector<std::unique_ptr<Connection>> connections; // module thread only
    std::mt19937 random;                                  // module thread only
    Clock::time_point acceptResume{};                     // module thread only
};

} // namespace Corvane::Tools
