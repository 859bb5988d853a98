// One module found by the discover command: how it was reached and what it told us.
#pragma once

#include "corvane/aDiscovery.h"
#include "corvane/aError.h"

#include <cstdint>
#include <string>
#include <vector>

struct DiscoveredDevice {
    linkSpec spec{};             // how it was reached
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
