// USB emulation: the list of virtual modules from the environment, their presence check and
// a bulk transfer table over a TCP connection to each.
#include "aUSBEmulation.h"

#include "aDebugTrace.h"
#include "cApiGuard.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "platform/udp.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace corvane::usb {

namespace {

// Loopback answers at once; anything slower is not a virtual module that is up.
constexpr uint32_t kConnectTimeoutMs = 500;
// High-speed bulk pipes, so the stream's "no 512-byte transfer" rule is exercised as on a bus.
constexpr uint16_t kEmulatedMaxPacket = 512;

// An open emulated module holds its claim from open to close, as a host's USB stack holds the
// claim of a real module's interface: a second opener, in this process or another, is told
// the device is busy whatever the program behind the endpoint would allow.
struct EmulatedDevice {
    platform::SocketHandle socket = platform::invalidSocket;
    platform::ClaimHandle claim = platform::noClaim;
};

aErr emulatedIn(void* device, uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& got) {
    auto* open = static_cast<EmulatedDevice*>(device);
    got = 0;
    const aErr ready = platform::waitSocketReadable(open->socket, timeoutMs);
    if (ready == aErrNotReady)
        return aErrNotReady;
    if (ready != aErrNone)
        return aErrIO;
    switch (platform::receiveSocket(open->socket, buffer, size, got)) {
    case platform::SocketOutcome::done: return aErrNone;
    case platform::SocketOutcome::wouldBlock: return aErrNotReady;
    default: return aErrIO; // the virtual module went away: the device is gone
    }
}

aErr emulatedOut(void* device, const uint8_t* bytes, size_t count, uint32_t timeoutMs,
                 size_t& sent) {
    auto* open = static_cast<EmulatedDevice*>(device);
    sent = 0;
    const uint64_t deadline = platform::monotonicMilliseconds() + timeoutMs;
    while (sent < count) {
        size_t n = 0;
        switch (platform::sendSocket(open->socket, bytes + sent, count - sent, n)) {
        case platform::SocketOutcome::done: sent += n; break;
        case platform::SocketOutcome::wouldBlock:
            if (platform::monotonicMilliseconds() >= deadline)
                return aErrTimeout;
            platform::sleepMilliseconds(1);
            break;
        default: return aErrIO;
        }
    }
    return aErrNone;
}

void emulatedClose(void* device) {
    auto* open = static_cast<EmulatedDevice*>(device);
    platform::closeSocket(open->socket);
    platform::releaseClaim(open->claim);
    delete open;
}

// One emulated device is one endpoint: two listed modules with the same serial number on
// different endpoints are two devices, as two boards with one serial number would be.
std::string claimName(const EmulatedModule& module) {
    char address[16] = {};
    platform::formatIPv4(module.address, address, sizeof address);
    return "usb-" + emulatedSerialText(module.serialNumber) + "@" + address + "-" +
           std::to_string(module.port);
}

const platform::UsbTransfer kEmulatedTransfer{emulatedIn, emulatedOut, emulatedClose};

std::vector<EmulatedModule> listedModules() {
    std::vector<EmulatedModule> modules;
    const char* text = std::getenv(kEmulationVariable);
    std::string bad;
    if (text != nullptr && !parseEmulationList(text, modules, &bad))
        debugTrace("%s: ignoring '%s' and what follows it\n", kEmulationVariable, bad.c_str());
    return modules;
}

// A connection to the module's endpoint, or invalidSocket when it does not answer.
platform::SocketHandle connectTo(const EmulatedModule& module) {
    platform::SocketHandle socket = platform::invalidSocket;
    if (platform::connectTcp(module.address, module.port, kConnectTimeoutMs, socket) != aErrNone)
        return platform::invalidSocket;
    return socket;
}

// Calls visit for each listed module that is attached now, with its open connection, until
// visit returns true (it then owns the connection).
bool walkEmulated(
    uint16_t vendorId,
    const std::function<bool(const platform::UsbDeviceInfo&, platform::SocketHandle)>& visit) {
    for (const EmulatedModule& module : listedModules()) {
        const platform::SocketHandle socket = connectTo(module);
        if (socket == platform::invalidSocket)
            continue;
        const std::string serial = emulatedSerialText(module.serialNumber);
        const platform::UsbDeviceInfo info{vendorId, module.model, serial.c_str()};
        if (visit(info, socket))
            return true;
        platform::closeSocket(socket);
    }
    return false;
}

} // namespace

bool parseEmulationList(const char* text, std::vector<EmulatedModule>& modules, std::string* bad) {
    modules.clear();
    if (text == nullptr)
        return true;
    const std::string list = text;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(',', begin);
        if (end == std::string::npos)
            end = list.size();
        const std::string entry = list.substr(begin, end - begin);
        if (!entry.empty()) {
            EmulatedModule module;
            if (aUSB_ParseEmulationEntry(entry.c_str(), &module, nullptr) != aErrNone) {
                if (bad != nullptr)
                    *bad = entry;
                return false;
            }
            modules.push_back(module);
        }
        begin = end + 1;
    }
    return true;
}

std::string emulatedSerialText(uint32_t serialNumber) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

aErr walkModules(uint16_t vendorId,
                 const std::function<bool(const platform::UsbDeviceInfo&)>& visit) {
    bool stopped = false;
    const aErr real = platform::walkUsbDevices(vendorId, [&](const platform::UsbDeviceInfo& info) {
        stopped = visit(info);
        return stopped;
    });
    if (stopped)
        return aErrNone;
    const bool visited =
        walkEmulated(vendorId, [&](const platform::UsbDeviceInfo& info, platform::SocketHandle) {
            return visit(info);
        });
    // Emulated modules stand in for a bus that cannot be read at all.
    return visited || std::getenv(kEmulationVariable) != nullptr ? aErrNone : real;
}

aErr openModule(uint16_t vendorId,
                const std::function<bool(const platform::UsbDeviceInfo&)>& matches,
                const platform::UsbTransfer*& transfer, void*& device, platform::UsbPipes& pipes) {
    const aErr real = platform::openUsbDevice(vendorId, matches, transfer, device, pipes);
    if (real != aErrNotFound && real != aErrIO && real != aErrPermission)
        return real;
    // Claimed before the endpoint is touched: a device someone holds is busy, and a second
    // connection could disturb a program that serves one host at a time.
    bool busy = false;
    for (const EmulatedModule& module : listedModules()) {
        const std::string serial = emulatedSerialText(module.serialNumber);
        if (!matches(platform::UsbDeviceInfo{vendorId, module.model, serial.c_str()}))
            continue;
        platform::ClaimHandle claim = platform::noClaim;
        const aErr claimed = platform::claimExclusive(claimName(module).c_str(), claim);
        if (claimed == aErrBusy) {
            busy = true;
            continue;
        }
        if (claimed != aErrNone) {
            debugTrace("USB emulation: cannot claim %s: %d\n", serial.c_str(),
                       static_cast<int>(claimed));
            return claimed;
        }
        const platform::SocketHandle socket = connectTo(module);
        if (socket == platform::invalidSocket) {
            platform::releaseClaim(claim); // not attached
            continue;
        }
        auto* open = new (std::nothrow) EmulatedDevice{socket, claim};
        if (open == nullptr) {
            platform::closeSocket(socket);
            platform::releaseClaim(claim);
            return aErrMemory;
        }
        transfer = &kEmulatedTransfer;
        device = open;
        pipes.inMaxPacket = kEmulatedMaxPacket;
        pipes.outMaxPacket = kEmulatedMaxPacket;
        return aErrNone;
    }
    return busy ? aErrBusy : real;
}

} // namespace corvane::usb

namespace {

bool parseHexNumber(const std::string& text, uint32_t limit, uint32_t& value) {
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(text.c_str(), nullptr, 16);
    if (v > limit)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The entry's parts in the order they are checked; aUSBEntryFine when all are well.
aUSBEntryFault parseEntry(const std::string& entry, aUSBEmulatedModule& module) {
    const size_t at = entry.find('@');
    const size_t colon = entry.find(':');
    const size_t portColon = entry.rfind(':');
    if (at == std::string::npos || colon == std::string::npos || colon > at || portColon < at)
        return aUSBEntryShape;
    uint32_t serial = 0, model = 0;
    if (!parseHexNumber(entry.substr(0, colon), 0xFFFFFFFF, serial))
        return aUSBEntrySerial;
    if (!parseHexNumber(entry.substr(colon + 1, at - colon - 1), 0xFF, model) || model == 0)
        return aUSBEntryModel;
    const std::string host = entry.substr(at + 1, portColon - at - 1);
    uint32_t address = 0;
    if (corvane::platform::parseIPv4(host.c_str(), address) != aErrNone)
        return aUSBEntryAddress;
    const std::string port = entry.substr(portColon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return aUSBEntryPort;
    const unsigned long portValue = std::strtoul(port.c_str(), nullptr, 10);
    if (portValue == 0 || portValue > 65535)
        return aUSBEntryPort;
    module.serialNumber = serial;
    module.model = static_cast<uint8_t>(model);
    module.address = address;
    module.port = static_cast<uint16_t>(portValue);
    return aUSBEntryFine;
}

} // namespace

aErr aUSB_ParseEmulationEntry(const char* entry, aUSBEmulatedModule* module,
                              aUSBEntryFault* fault) {
    if (fault != nullptr)
        *fault = aUSBEntryFine;
    if (entry == nullptr || module == nullptr)
        return aErrParam;
    return corvane::guardedCall([&]() -> aErr {
        aUSBEmulatedModule read{};
        const aUSBEntryFault found = parseEntry(entry, read);
        if (fault != nullptr)
            *fault = found;
        if (found != aUSBEntryFine)
            return aErrParse;
        *module = read;
        return aErrNone;
    });
}
