// The virtual module's answer to TCP/IP discovery: it listens for the discovery request
// (multicast group 232.2.2.2, port 9888) on one interface and answers each with the 16-byte
// reply (module address, TCP port, serial number, model) sent from that interface's address.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "VirtualModule.h"

namespace Corvane::Tools {

class DiscoveryResponder {
  public:
    DiscoveryResponder() = default;
    ~DiscoveryResponder(); // stops
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Answers requests heard on the interface with IPv4 address interfaceAddress for a module
    // that listens on tcpPort. Several responders (of several modules) may run side by side.
    // False with a reason in *error when the sockets cannot be set up.
    bool start(const std::string& interfaceAddress, const ModuleIdentity& identity,
               uint16_t tcpPort, std::string* error = nullptr, const DiscoveryFaults& faults = {});
    void stop();

    uint64_t requestsAnswered() const { return answered_.load(); }

    // The 16-byte reply: byte 1 the module address, bytes 2-3 the port and 4-7 the serial
    // number (little-endian), byte 12 the model; every other byte 0.
    static constexpr size_t kReplySize = 16;
    static void buildReply(const ModuleIdentity& identity, uint16_t tcpPort, uint8_t reply[16]);

  private:
    void serve();
    // Sends one datagram to the host that asked, from the interface or the forged source.
    void send(const uint8_t* data, size_t length);
    // The nth datagram that follows the first reply: a copy of it, then junk.
    void sendFollowing(uint32_t n);

    int listenFd_ = -1;
    int replyFd_ = -1;
    int rawFd_ = -1; // only with a forged source
    int wakeFd_ = -1;
    uint8_t reply_[16] = {};
    DiscoveryFaults faults_;
    uint32_t forgedSource_ = 0; // network byte order
    uint32_t asker_ = 0;        // network byte order, of the last request
    // What still follows the first reply to the last request, ten datagrams per
    // millisecond.
    uint32_t following_ = 0;
    uint32_t followed_ = 0;
    std::chrono::steady_clock::time_point next_;
    std::atomic<uint64_t> answered_{0};
    std::thread thread_;
};

} // namespace Corvane::Tools
