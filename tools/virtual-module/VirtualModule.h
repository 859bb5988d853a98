// A simulated Corvane module served over TCP: it speaks the link wire format as a real module
// does (synchronisation answers, heartbeats, routing packets, system queries), so link software
// can be tested without hardware. Used by the virtual-module program and by the tests.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ModelFaults.h"
#include "WirePacket.h"

namespace Corvane::Tools {

// Who the simulated module is.
struct ModuleIdentity {
    uint32_t serialNumber = 0x1A2B3C4D;
    uint8_t model = 0x13;
    uint8_t address = 2; // even and non-zero
    uint8_t router = 0;  // address of the router it is reached through; 0 for none
};

// Misbehaviour on demand, to see how the host copes. Changeable while running.
struct FaultSettings {
    uint32_t dropAfter = 0; // reset a connection once it brought this many packets; 0 never
    bool garbage = false;   // send random bytes instead of every packet
    bool mute = false;      // take everything in, send nothing
    bool exclusive = false; // serve one host at a time, as a module another program holds
};

// Discovery answers a host must survive. What follows the first reply goes out ten datagrams per
// millisecond, so that a flood reaches the host rather than overflowing its socket at once.
struct DiscoveryFaults {
    uint32_t copies = 1; // identical replies to each request
    uint32_t junk = 0;   // datagrams after the replies that are no reply (1 to 32 bytes, not 16)
    // Sends everything from this IPv4 address instead of the interface's, through a raw socket
    // (needs CAP_NET_RAW, as a private network namespace gives); empty: from the interface.
    std::string forgedSource;
};

struct VirtualModuleConfig {
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 0; // 0 lets the system pick a free port
    ModuleIdentity identity;
    uint32_t heartbeatMs = 1000; // 0 sends no heartbeats
    uint32_t latencyUs = 0;      // delay of every packet the module sends
    FaultSettings faults;
    ModelFaults modelFaults; // for the request/reply model (RequestReplyModel.h)
    UpgradeFaults upgradeFaults;
    uint16_t chunkSize = 1024;         // announced by the upgrade protocol's PREPARE
    uint32_t build = 0;                // of the running firmware; 0 keeps the model's
    uint32_t packedVersion = 0;        // of the running firmware; 0 keeps the model's
    uint32_t streamIntervalUs = 10000; // between rounds of stream samples (StreamingModel.h)
    uint32_t streamBurst = 0;          // samples sent at once after each stream enable
    uint32_t seed = 1;                 // of the garbage generator
    bool verbose = false;
    // The program answers TCP/IP discovery heard on the interface with this IPv4 address
    // (DiscoveryResponder); empty: it does not.
    std::string discoveryInterface;
    DiscoveryFaults discoveryFaults;
    // Behind a router: every bus address acknowledges a probe (ModuleNetwork).
    bool busPresentEverywhere = false;
};

// Counters over the module's whole life, all connections together.
struct VirtualModuleStats {
    uint64_t connections = 0;
    uint64_t packetsReceived = 0;
    uint64_t noiseBytes = 0; // received bytes that could not start a packet
    uint64_t syncRequests = 0;
    uint64_t routingOn = 0;
    uint64_t routingOff = 0;
    uint64_t heartbeatsSent = 0;
    uint64_t heartbeatAnswers = 0;    // exact answers: address, 2, 0, sent value + 2
    uint64_t badHeartbeatAnswers = 0; // command 0 packets that were no exact answer
    uint64_t missedHeartbeats = 0;    // no answer before the next heartbeat was due
    uint64_t modelQueries = 0;
    uint64_t unhandledPackets = 0;
    uint64_t droppedConnections = 0; // by the dropAfter fault
};

// One host connection, as a packet handler sees it. Valid only during the handler call.
class ModuleConnection {
  public:
    virtual ~ModuleConnection() = default;
    virtual const ModuleIdentity& identity() const = 0;
    // Queues a packet to the host (after the configured latency, subject to the faults).
    virtual void send(const WirePacket& packet) = 0;
    // Ends the connection once what was queued has gone out, as a module that restarts does.
    virtual void close() = 0;
    // The same after the module stayed on the link this long, deaf and silent, as a module does
    // that writes its new image before it restarts.
    virtual void closeAfter(std::chrono::milliseconds silence) {
        (void)silence;
        close();
    }
    // Ends the connection at once with a reset, as a cable pulled out does.
    virtual void abort() = 0;
    // Numbers the connections of the module's life from 1.
    virtual uint64_t id() const = 0;
};

// Handles one packet addressed to the module, chosen by its first data byte (the command).
using PacketHandler = std::function<void(ModuleConnection&, const WirePacket&)>;

class VirtualModule {
  public:
    explicit VirtualModule(VirtualModuleConfig config = {});
    ~VirtualModule(); // stops
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    // Installs the handler of a command (null removes it). Only before start().
    void setHandler(uint8_t command, PacketHandler handler);
    // Sees every packet from a host before the module does; returning true takes the packet
    // (the module then does nothing with it). Only before start().
    void setPacketFilter(std::function<bool(ModuleConnection&, const WirePacket&)> filter);
    // What was installed, so that a module served over another module's link (a module behind a
    // router) can run the same models, and a later filter can chain to an earlier one.
    PacketHandler handler(uint8_t command) const;
    std::function<bool(ModuleConnection&, const WirePacket&)> packetFilter() const;
    // Called on the module's thread for each connection at every turn of its loop, to send what
    // is due then; returns when it next wants to be called (the module wakes for it). Several
    // models may each add one. Only before start().
    using PeriodicSource = std::function<std::chrono::steady_clock::time_point(
        ModuleConnection&, std::chrono::steady_clock::time_point now)>;
    void addPeriodicSource(PeriodicSource source);
    // Called on the module's thread with every packet received from a host. Only before start().
    void setPacketObserver(std::function<void(const WirePacket&)> observer);

    // Binds, listens and starts serving. False with a reason in *error when that fails.
    bool start(std::string* error = nullptr);
    // Closes every connection and the listening socket; waits for the module's thread.
    void stop();
    // From the module's next turn on, connections are refused as by a host with no module
    // attached; those open stay as they are. For good: there is no plugging back in.
    void unplug();

    uint16_t port() const;
    // "ADDRESS:PORT" of the listening socket.
    std::string endpoint() const;

    void setFaults(const FaultSettings& faults);
    FaultSettings faults() const;
    VirtualModuleStats stats() const;

    // Answer of the system get request for the model: command 3, option 8, index 0.
    static WirePacket modelReply(const ModuleIdentity& identity);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace Corvane::Tools
