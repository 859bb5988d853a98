// Packet helpers for the library's own use, shared by the link engine and the sharing server: a
// packet's bytes as they go on the wire, and the filter that takes every packet.
#pragma once

#include "corvane/aPacket.h"
#include "platform/hot_path.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvane {

// The packet's wire bytes (address, length, data) into out, which has room for aPACKET_MAXWIRE;
// returns their number.
inline std::size_t wireBytes(const aPacket* packet, uint8_t* out) {
    // A live packet never holds more, but the bound is what keeps out[] safe.
    const uint8_t length = std::min<uint8_t>(packet->length, aPACKET_MAXDATA);
    out[0] = packet->address;
    out[1] = length;
    std::memcpy(out + 2, packet->data, length);
    return length + 2u;
}

// A packet filter that takes every packet: to empty a FIFO, or to take its first packet.
CORVANE_HOT_PATH inline bool matchAll(const aPacket*, void*) {
    return true;
}

} // namespace corvane
