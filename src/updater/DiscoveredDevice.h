// One module found by the discover command: how it was reached and what it told us.
#pragma once

#include "corvane/aError.h"

#include <cstdint>
#include <string>
#include <vector>

// How a module was reached, in the library's 128-byte link specifier layout (32-bit words, then
// the rest of a serial port name). Field names match the library's record so the discover
// command can copy one into the other field by field.
struct DeviceLinkSpec {
    uint32_t type = 0; // 1 USB, 2 TCP/IP, 3 serial, 4 shared through a local server
    uint32_t serialNumber = 0;
    uint32_t module = 0; // module address on its module network, 0 when unknown
    uint32_t router = 0; // address of the module it is reached through
    uint32_t routerSerialNumber = 0;
    uint32_t model = 0;     // model code
    uint32_t ipAddress = 0; // TCP/IP: IPv4 address in network byte order
    uint32_t port = 0;
    uint8_t rest[96] = {};
};
static_assert(sizeof(DeviceLinkSpec) == 128, "link specifier layout is 128 bytes");

struct DiscoveredDevice {
    DeviceLinkSpec spec;
    uint16_t networkAddress = 0; // bus address behind a router, else 0
    uint32_t build = 0;          // firmware build, 0 when it could not be read
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;  // aDefs_GetModelName of spec.model
    std::string deviceName; // empty when not read
    aErr error = aErrNone;  // the first failure met while connecting or reading
};

// In the order the modules were found; owned by the caller.
using DiscoveredDeviceList = std::vector<DiscoveredDevice>;
