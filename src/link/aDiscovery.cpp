// Module discovery: USB enumeration through the USB layer's device walk and the family's
// instance identifiers, TCP/IP enumeration by multicast request, and the find calls on top.
#include "aDiscoveryInternal.h"

#include "aDebugTrace.h"
#include "aStream_USBInternal.h"
#include "aUSBEmulation.h"
#include "cApiGuard.h"
#include "platform/platform.h"
#include "platform/udp.h"

#include <algorithm>
#include <cstring>

namespace corvane::discovery {

namespace {

constexpr uint32_t kLoopback = 0x0100007F; // 127.0.0.1 in network byte order

uint32_t readLE32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void writeLE32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Calls callback as the Part's callers expect; true while the enumeration may go on.
struct Reporter {
    aDiscoveryModuleFoundProc callback;
    void* reference;
    uint32_t counted = 0;
    bool report(const linkSpec& spec) {
        bool found = false;
        const bool goOn = callback(&spec, &found, reference);
        if (found)
            ++counted;
        return goOn;
    }
};

void enumerateUsb(Reporter& reporter) {
    const uint16_t vendorId = aUSB_VendorId();
    std::vector<std::pair<uint32_t, uint8_t>> modules;
    usb::walkModules(vendorId, [&](const platform::UsbDeviceInfo& info) {
        char instanceId[300];
        uint32_t serial = 0;
        uint8_t model = 0;
        if (aUSB_BuildInstanceId(info.vendorId, info.productId, info.serial, instanceId,
                                 sizeof instanceId) == aErrNone &&
            aUSB_ParseInstanceId(instanceId, vendorId, &serial, &model) == aErrNone)
            addUsbModule(modules, serial, model);
        return false;
    });
    for (const auto& [serial, model] : modules) {
        linkSpec spec{};
        spec.type = USB;
        spec.serialNumber = serial;
        spec.model = model;
        spec.ipAddress = serial;
        if (!reporter.report(spec))
            return;
    }
}

void enumerateTcpip(Reporter& reporter) {
    platform::UdpSetup replySetup;
    replySetup.bind = true;
    replySetup.port = kReplyPort;
    replySetup.reuseAddress = true;
    platform::SocketHandle replies = platform::invalidSocket;
    if (platform::openUdp(replySetup, replies) != aErrNone) {
        debugTrace("aDiscovery: cannot listen on port %u\n", kReplyPort);
        return;
    }
    std::vector<uint32_t> interfaces, broadcasts;
    const bool listed = platform::listIPv4Interfaces(interfaces, &broadcasts) == aErrNone;
    if (!listed)
        interfaces.assign(1, 0); // send once, through whichever interface the system picks
    uint8_t request[kDatagramSize] = {1};
    bool sent = false;
    for (uint32_t interface : interfaces) {
        if (listed && (interface == 0 || interface == kLoopback))
            continue;
        platform::UdpSetup sender;
        sender.reuseAddress = true;
        sender.multicastInterface = interface;
        platform::SocketHandle socket = platform::invalidSocket;
        if (platform::openUdp(sender, socket) != aErrNone)
            continue;
        sent = platform::sendDatagram(socket, kGroup, kRequestPort, request, sizeof request) ==
                   aErrNone ||
               sent;
        platform::closeSocket(socket);
    }
    if (sent) {
        listenForReplies(ListenLimits{}, platform::monotonicMilliseconds, [&](uint32_t waitMs) {
            uint8_t reply[kDatagramSize + 1];
            size_t got = 0;
            uint32_t from = 0;
            const aErr received =
                platform::receiveDatagram(replies, reply, sizeof reply, waitMs, got, from);
            if (received == aErrTimeout)
                return Heard::nothing;
            if (received != aErrNone)
                return Heard::stop;
            linkSpec spec{};
            if (!parseReply(reply, got, from, spec, broadcasts))
                return Heard::other;
            return reporter.report(spec) ? Heard::reply : Heard::stop;
        });
    }
    platform::closeSocket(replies);
}

struct FindRequest {
    bool anySerial;
    uint32_t serialNumber;
    linkSpec* result = nullptr;
};

bool findOne(const linkSpec* spec, bool* found, void* reference) {
    auto* request = static_cast<FindRequest*>(reference);
    const bool match =
        request->anySerial ? spec->serialNumber != 0 : spec->serialNumber == request->serialNumber;
    if (!match)
        return true;
    request->result = aLinkSpec_Copy(*spec);
    *found = request->result != nullptr;
    return false;
}

linkSpec* find(linkType type, bool anySerial, uint32_t serialNumber, uint32_t networkInterface) {
    FindRequest request{anySerial, serialNumber};
    aDiscovery_EnumerateModules(type, findOne, &request, networkInterface);
    return request.result;
}

} // namespace

void listenForReplies(const ListenLimits& limits, const std::function<uint64_t()>& now,
                      const std::function<Heard(uint32_t waitMs)>& receive) {
    const uint64_t started = now();
    const uint64_t cap = started + limits.capMs;
    uint64_t quietEnds = started + limits.quietMs;
    for (;;) {
        const uint64_t at = now();
        const uint64_t until = std::min(quietEnds, cap);
        if (at >= until)
            return;
        switch (receive(static_cast<uint32_t>(until - at))) {
        case Heard::reply: quietEnds = now() + limits.quietMs; break;
        case Heard::other:
        case Heard::nothing: break;
        case Heard::stop: return;
        }
    }
}

bool reachableModuleAddress(uint32_t address, const std::vector<uint32_t>& subnetBroadcasts) {
    constexpr uint32_t kLoopbackBroadcast = 0xFFFFFF7F; // 127.255.255.255, network byte order
    // The address is in network byte order: its first byte in memory is the first octet.
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&address);
    if (octets[0] == 0 || octets[0] >= 224)
        return false; // "this network", multicast, reserved and the limited broadcast
    return address != kLoopbackBroadcast &&
           std::find(subnetBroadcasts.begin(), subnetBroadcasts.end(), address) ==
               subnetBroadcasts.end();
}

bool parseReply(const uint8_t* bytes, size_t length, uint32_t from, linkSpec& spec,
                const std::vector<uint32_t>& subnetBroadcasts) {
    if (bytes == nullptr || length != kDatagramSize)
        return false;
    // A reply's sender is where the module is connected to: one that names a group of hosts,
    // or none, would send every connection to whoever answers there, or nowhere.
    const uint16_t port = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    if (!reachableModuleAddress(from, subnetBroadcasts) || port == 0)
        return false;
    spec = linkSpec{};
    spec.type = TCPIP;
    spec.module = bytes[1];
    spec.router = bytes[1];
    spec.port = port;
    spec.serialNumber = readLE32(bytes + 4);
    spec.routerSerialNumber = spec.serialNumber;
    spec.model = bytes[12];
    spec.ipAddress = from;
    return true;
}

void buildReply(uint8_t moduleAddress, uint16_t port, uint32_t serialNumber, uint8_t model,
                uint8_t reply[kDatagramSize]) {
    std::memset(reply, 0, kDatagramSize);
    reply[1] = moduleAddress;
    reply[2] = static_cast<uint8_t>(port);
    reply[3] = static_cast<uint8_t>(port >> 8);
    writeLE32(reply + 4, serialNumber);
    reply[12] = model;
}

void addUsbModule(std::vector<std::pair<uint32_t, uint8_t>>& modules, uint32_t serialNumber,
                  uint8_t model) {
    for (auto& module : modules) {
        if (module.first == serialNumber) {
            module.second = model;
            return;
        }
    }
    if (modules.size() < kMaxUsbModules)
        modules.emplace_back(serialNumber, model);
}

} // namespace corvane::discovery

using namespace corvane::discovery;

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                     void* reference, uint32_t networkInterface) {
    return corvane::guardedValue<uint32_t>(0, [&]() -> uint32_t {
        if (callback == nullptr)
            return 0;
        Reporter reporter{callback, reference};
        switch (type) {
        case USB: enumerateUsb(reporter); break;
        case TCPIP: enumerateTcpip(reporter); break;
        case AETHER:
            return aDiscovery_Enumerate_aEtherModules(callback, reference, networkInterface);
        case SERIAL: break;
        }
        return reporter.counted;
    });
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return corvane::guardedValue<linkSpec*>(
        nullptr, [&] { return find(type, false, serialNumber, networkInterface); });
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return corvane::guardedValue<linkSpec*>(nullptr,
                                            [&] { return find(type, true, 0, networkInterface); });
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
    return corvane::guardedValue<uint32_t>(0, [&]() -> uint32_t {
        std::vector<uint32_t> found;
        if (addresses == nullptr || corvane::platform::listIPv4Interfaces(found) != aErrNone)
            return 0;
        uint32_t n = 0;
        for (; n < capacity && n < found.size(); ++n)
            addresses[n] = found[n];
        return n;
    });
}

uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
    if (buffer == nullptr || size < 22)
        return 0;
    if (corvane::platform::formatIPv4(address, buffer, size) != aErrNone)
        return 0;
    return static_cast<uint32_t>(std::strlen(buffer));
}
