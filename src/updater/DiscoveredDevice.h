// One module found by the discover command: how it was reached and what it told us; and how
// far a discovery goes.
#pragma once

#include "corvane/aDiscovery.h"
#include "corvane/aError.h"

#include <chrono>
#include <cstdint>
#include <functional>
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
    std::string deviceName; // empty when not read; "..." ends one cut at 32 bytes
    aErr error = aErrNone;  // the first failure met while connecting or reading
};

// In the order the modules were found; owned by the caller.
using DiscoveredDeviceList = std::vector<DiscoveredDevice>;

// How far one discovery goes with modules and routers that answer without end. A discover run
// takes its listening window, then at most readBudget and the reads of the module under way.
struct DiscoveryLimits {
    // Modules one discover run connects to; it stops listening at the next one.
    uint32_t maxModules = 128;
    // For connecting to and reading the modules found, and for a whole network scan.
    std::chrono::milliseconds readBudget{30000};
    // Bus addresses that take the probe yet answer no query before a network scan gives up:
    // a bus that says present everywhere would cost a reply time-out at each of 125 addresses.
    uint32_t maxSilentAddresses = 16;
    // The clock the budget is spent by; unset, the steady clock.
    std::function<std::chrono::steady_clock::time_point()> now;

    std::chrono::steady_clock::time_point clock() const {
        return now ? now() : std::chrono::steady_clock::now();
    }
};
