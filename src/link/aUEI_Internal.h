// The UEI wire rules in one place, for the link library's C helpers, the sharing server and the
// object layer: big-endian values, the commands that are no UEIs, the UEIBytes control byte and
// what makes a packet a stream packet.
#pragma once

#include "corvane/aPacket.h"
#include "corvane/aUEI.h"

#include <cstdint>

namespace corvane::uei {

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

// The module's own small protocols, the link's control packets and the I2C and heartbeat
// commands: packets starting with one of these are no UEIs.
inline constexpr bool isNotUEICommand(uint8_t command) {
    switch (command) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175: return true;
    default: return false;
    }
}

// True when the packet carries a UEI: at least its command byte, and that command is a UEI's.
// An empty packet carries none (aUEI_isUEIPayload, the negation of aUEI_isNotUEIPayload, calls
// it one all the same).
inline bool carriesUEI(const aPacket& packet) {
    return packet.length > 0 && !isNotUEICommand(packet.data[0]);
}

// The last data byte of a UEIBytes packet; 0 for a null, invalid or empty packet.
inline uint8_t bytesControl(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->length > 0 ? packet->data[packet->length - 1] : 0;
}

// A UEIBytes packet with as many data bytes as one carries (length 27 or 28).
inline bool isFullBytesPacket(const aPacket& packet) {
    return packet.length == 27 || packet.length == 28;
}

inline bool hasMoreBit(const aPacket& packet) {
    return packet.length > 0 && (packet.data[packet.length - 1] & aUEI_BYTES_MORE) != 0;
}

// A middle packet of a UEIBytes run: more follow, so nothing answers it by itself.
inline bool continuesRun(const aPacket& packet) {
    return carriesUEI(packet) && isFullBytesPacket(packet) && hasMoreBit(packet);
}

// A value the module sends unasked: a UEI longer than 4 bytes with the value operation and the
// stream flag in its specifier.
inline bool isStreamPacket(const aPacket& packet) {
    return packet.length > 4 && carriesUEI(packet) && packet.data[1] < aUEI_OP_GET &&
           (packet.data[2] & aUEI_SPEC_STREAM) != 0;
}

} // namespace corvane::uei
