// The UDP multicast helper: one socket joined to a group on one interface, as a sender or as
// a receiver on the group's port.
#include "corvane/aMulticast.h"

#include "cApiGuard.h"
#include "platform/udp.h"

#include <new>

struct aMulticast {
    corvane::platform::SocketHandle socket = corvane::platform::invalidSocket;
    uint32_t group = 0;
    uint16_t port = 0;
    bool sender = false;
};

namespace {

constexpr uint32_t kLoopback = 0x0100007F; // 127.0.0.1 in network byte order
constexpr uint32_t kReceiveWaitMs = 1000;

} // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, const char* group, uint16_t port,
                              bool sender) {
    return corvane::guardedValue<aMulticast*>(nullptr, [&]() -> aMulticast* {
        namespace platform = corvane::platform;
        const uint32_t interface = interfaceAddress != 0 ? interfaceAddress : kLoopback;
        // A group is an address, never a name: nothing is asked of a resolver that may sit
        // beyond this machine.
        uint32_t groupAddress = 0;
        if (platform::parseIPv4(group, groupAddress) != aErrNone)
            return nullptr;
        platform::UdpSetup setup;
        setup.bind = !sender;
        setup.port = port;
        setup.joinGroup = groupAddress;
        setup.joinInterface = interface;
        setup.multicastInterface = interface;
        setup.multicastTtl = 1;
        setup.multicastLoop = 1;
        platform::SocketHandle socket = platform::invalidSocket;
        if (platform::openUdp(setup, socket) != aErrNone)
            return nullptr;
        auto* multicast = new (std::nothrow) aMulticast{socket, groupAddress, port, sender};
        if (multicast == nullptr)
            platform::closeSocket(socket);
        return multicast;
    });
}

int aMulticast_Send(aMulticast* multicast, const uint8_t* data, size_t length) {
    if (multicast == nullptr)
        return -2;
    if (!multicast->sender)
        return -3;
    if (data == nullptr || length > 65507)
        return -1;
    return corvane::platform::sendDatagram(multicast->socket, multicast->group, multicast->port,
                                           data, length) == aErrNone
               ? static_cast<int>(length)
               : -1;
}

int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size) {
    if (multicast == nullptr)
        return -2;
    if (multicast->sender)
        return -3;
    if (buffer == nullptr)
        return -1;
    size_t got = 0;
    uint32_t from = 0;
    if (corvane::platform::receiveDatagram(multicast->socket, buffer, size, kReceiveWaitMs, got,
                                           from) != aErrNone)
        return -1;
    return static_cast<int>(got < size ? got : size);
}

int aMulticast_Destroy(aMulticast** multicast) {
    if (multicast == nullptr || *multicast == nullptr)
        return -2;
    corvane::platform::closeSocket((*multicast)->socket);
    delete *multicast;
    *multicast = nullptr;
    return 0;
}
