// The beacon actors: CZMQ's zbeacon on a real interface, and on 127.0.0.1 a loopback beacon
// that speaks the same commands over UDP broadcast on the loopback network.
#include "aBeacon.h"

#include "corvane/zBeaconInterface.h"
#include "platform/beacon.h"
#include "platform/platform.h"
#include "platform/udp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace corvane {

namespace {

namespace platform = corvane::platform;

constexpr std::size_t kFrameMax = 255; // zbeacon's UDP_FRAME_MAX
constexpr int kIdlePollMs = 1000;

struct LoopbackBeacon {
    zsock_t* pipe = nullptr;
    platform::SocketHandle udp = platform::invalidSocket;
    uint16_t port = 0;
    std::vector<uint8_t> transmit; // published payload; empty when silent
    int intervalMs = kBeaconIntervalMs;
    uint64_t pingAt = 0;
    bool subscribed = false;
    std::vector<uint8_t> filter;
    bool terminated = false;

    ~LoopbackBeacon() { platform::closeSocket(udp); }

    static uint64_t now() { return platform::monotonicMilliseconds(); }

    void configure(zmsg_t* msg) {
        char* portText = zmsg_popstr(msg);
        const int requested = portText ? std::atoi(portText) : 0;
        zstr_free(&portText);
        platform::closeSocket(udp);
        udp = platform::invalidSocket;
        const bool usable =
            requested > 0 && requested < 65536 &&
            platform::openLoopbackBeaconSocket(static_cast<uint16_t>(requested), udp) == aErrNone;
        port = usable ? static_cast<uint16_t>(requested) : 0;
        zstr_send(pipe, usable ? "127.0.0.1" : "");
    }

    void publish(zmsg_t* msg) {
        zframe_t* data = zmsg_pop(msg);
        char* intervalText = zmsg_popstr(msg);
        if (data != nullptr && zframe_size(data) <= kFrameMax) {
            transmit.assign(zframe_data(data), zframe_data(data) + zframe_size(data));
            const int interval = intervalText ? std::atoi(intervalText) : 0;
            intervalMs = interval > 0 ? interval : kBeaconIntervalMs;
            pingAt = now();
        }
        zframe_destroy(&data);
        zstr_free(&intervalText);
    }

    void subscribe(zmsg_t* msg) {
        zframe_t* prefix = zmsg_pop(msg);
        filter.clear();
        if (prefix != nullptr)
            filter.assign(zframe_data(prefix), zframe_data(prefix) + zframe_size(prefix));
        zframe_destroy(&prefix);
        subscribed = true;
    }

    void handlePipe() {
        zmsg_t* msg = zmsg_recv(pipe);
        if (msg == nullptr) {
            terminated = true; // interrupted
            return;
        }
        char* command = zmsg_popstr(msg);
        if (command == nullptr || std::strcmp(command, "$TERM") == 0)
            terminated = true;
        else if (std::strcmp(command, "CONFIGURE") == 0)
            configure(msg);
        else if (std::strcmp(command, "PUBLISH") == 0)
            publish(msg);
        else if (std::strcmp(command, "SILENCE") == 0)
            transmit.clear();
        else if (std::strcmp(command, "SUBSCRIBE") == 0)
            subscribe(msg);
        else if (std::strcmp(command, "UNSUBSCRIBE") == 0)
            subscribed = false;
        zstr_free(&command);
        zmsg_destroy(&msg);
    }

    // Passes on what was heard: only subscribed prefixes, never the echo of our own payload.
    void handleDatagrams() {
        uint8_t buffer[kFrameMax + 1];
        for (;;) {
            std::size_t got = 0;
            uint32_t sender = 0;
            if (platform::receiveBeacon(udp, buffer, sizeof buffer, got, sender) !=
                platform::SocketOutcome::done)
                return;
            if (!subscribed || got > kFrameMax || got < filter.size() ||
                std::memcmp(buffer, filter.data(), filter.size()) != 0)
                continue;
            if (!transmit.empty() && got == transmit.size() &&
                std::memcmp(buffer, transmit.data(), got) == 0)
                continue;
            char senderText[corvane::platform::ipv4TextSize] = {};
            corvane::platform::formatIPv4(sender, senderText, sizeof senderText);
            zstr_sendm(pipe, senderText);
            zframe_t* payload = zframe_new(buffer, got);
            zframe_send(&payload, pipe, 0);
        }
    }

    void sendDue() {
        if (transmit.empty() || udp == platform::invalidSocket || now() < pingAt)
            return;
        platform::sendLoopbackBeacon(udp, port, transmit.data(), transmit.size());
        pingAt = now() + static_cast<uint64_t>(intervalMs);
    }

    int pollTimeout() const {
        if (transmit.empty() || udp == platform::invalidSocket)
            return kIdlePollMs;
        const uint64_t t = now();
        return pingAt > t ? static_cast<int>(std::min<uint64_t>(pingAt - t, kIdlePollMs)) : 0;
    }
};

void loopbackBeaconActor(zsock_t* pipe, void*) {
    LoopbackBeacon beacon;
    beacon.pipe = pipe;
    zsock_signal(pipe, 0);
    while (!beacon.terminated) {
        // zmq_fd_t is the system's socket type: an int on Linux, a SOCKET on Windows.
        zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                                   {nullptr, static_cast<zmq_fd_t>(beacon.udp), ZMQ_POLLIN, 0}};
        const int count = beacon.udp != platform::invalidSocket ? 2 : 1;
        if (zmq_poll(items, count, beacon.pollTimeout()) < 0)
            break; // interrupted or the context is ending
        if (items[0].revents & ZMQ_POLLIN)
            beacon.handlePipe();
        if (count == 2 && (items[1].revents & ZMQ_POLLIN))
            beacon.handleDatagrams();
        beacon.sendDue();
    }
}

} // namespace

uint32_t firstNonLoopbackInterface() {
    // Among as many as discovery's interface list holds.
    constexpr std::size_t kMaxInterfaces = 50;
    std::vector<uint32_t> interfaces;
    if (platform::listIPv4Interfaces(interfaces) != aErrNone)
        return 0;
    interfaces.resize(std::min(interfaces.size(), kMaxInterfaces));
    for (const uint32_t address : interfaces)
        if ((platform::ipv4ToHost(address) >> 24) != 127)
            return address;
    return 0;
}

bool beaconIsLoopback(const char* interfaceText) {
    return interfaceText != nullptr && std::strcmp(interfaceText, "127.0.0.1") == 0;
}

zactor_t* beaconCreate() {
    czmqPrepare();
    if (beaconIsLoopback(zBeaconInterface_get()))
        return zactor_new(loopbackBeaconActor, nullptr);
    return zactor_new(zbeacon, nullptr);
}

} // namespace corvane
