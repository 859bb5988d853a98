// Byte-level helpers of the object layer's packet protocols: the commands of its own small
// protocols, reply waits and big-endian fields.
#pragma once

#include "aUEI_Internal.h"
#include "corvane/aPacket.h"
#include "corvane/aUEI.h"

#include <cstdint>

namespace Corvane {

// Commands of the module's own small protocols (not UEIs).
inline constexpr uint8_t kCmdStoreSlot = 4;
inline constexpr uint8_t kCmdDebug = 23;
inline constexpr uint8_t kCmdModuleQuery = 73;
inline constexpr uint8_t kCmdFactoryData = 94;
static_assert(corvane::uei::isNotUEICommand(kCmdStoreSlot) &&
              corvane::uei::isNotUEICommand(kCmdDebug) &&
              corvane::uei::isNotUEICommand(kCmdModuleQuery) &&
              corvane::uei::isNotUEICommand(kCmdFactoryData));

// The standard wait for one reply from a module, and the longer ones.
inline constexpr uint32_t kReplyTimeoutMs = 1000;
inline constexpr uint32_t kLargeReplyTimeoutMs = 4000; // UEIBytes of more than 1000 bytes
inline constexpr uint32_t kLargePayloadBytes = 1000;

// The wire rules themselves are the link library's.
using corvane::uei::readBig16;
using corvane::uei::readBig32;
using corvane::uei::writeBig16;
using corvane::uei::writeBig32;

// Module addresses on a module network are even and non-zero.
inline bool validModuleAddress(uint8_t address) {
    return address != 0 && (address & 1) == 0;
}

} // namespace Corvane
