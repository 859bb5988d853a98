// Byte-level helpers of the object layer's packet protocols: big-endian fields, the UEIBytes
// control byte and the commands that are no UEIs.
#pragma once

#include "corvane/aPacket.h"
#include "corvane/aUEI.h"

#include <cstdint>

namespace Corvane {

// Commands of the module's own small protocols (not UEIs).
inline constexpr uint8_t kCmdStoreSlot = 4;
inline constexpr uint8_t kCmdDebug = 23;
inline constexpr uint8_t kCmdModuleQuery = 73;
inline constexpr uint8_t kCmdFactoryData = 94;

// The standard wait for one reply from a module, and the longer ones.
inline constexpr uint32_t kReplyTimeoutMs = 1000;
inline constexpr uint32_t kLargeReplyTimeoutMs = 4000; // UEIBytes of more than 1000 bytes
inline constexpr uint32_t kLargePayloadBytes = 1000;

inline uint16_t readBig16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t readBig32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void writeBig16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void writeBig32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The last data byte of a UEIBytes packet; 0 for a null, invalid or empty packet.
inline uint8_t bytesControl(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->length > 0 ? packet->data[packet->length - 1] : 0;
}

inline bool isNotUeiCommand(uint8_t command) {
    switch (command) {
    case 0:
    case 1:
    case 2:
    case kCmdStoreSlot:
    case 8:
    case 9:
    case kCmdDebug:
    case 24:
    case kCmdModuleQuery:
    case kCmdFactoryData:
    case 95:
    case 173:
    case 175: return true;
    default: return false;
    }
}

// Module addresses on a module network are even and non-zero.
inline bool validModuleAddress(uint8_t address) {
    return address != 0 && (address & 1) == 0;
}

} // namespace Corvane
