// Test helpers for packets: owning pointers and quick constructors.
#pragma once

#include "corvane/aPacket.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// A packet to address with the given data bytes.
inline PacketPtr makePacket(uint8_t address, std::initializer_list<uint8_t> data) {
    std::vector<uint8_t> bytes(data);
    bytes.push_back(0); // never an empty vector, so data() is never null
    return PacketPtr(
        aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), bytes.data()));
}
