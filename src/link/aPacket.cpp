// Link packets: creation, copying and the byte-wise assembly the link reader relies on.
#include "corvane/aPacket.h"

#include "platform/hot_path.h"

#include <cstring>
#include <new>

namespace {

// Highest count aPacket_AddByte records; any byte beyond the wire maximum is an overrun, and
// the count stays here so a long run of garbage can never wrap it back into range.
constexpr uint8_t kCountCeiling = aPACKET_MAXWIRE + 1;

aPacket* newPacket() noexcept {
    aPacket* packet = new (std::nothrow) aPacket{};
    if (packet != nullptr) {
        packet->check = aPACKET_CHECK;
    }
    return packet;
}

} // namespace

aPacket* aPacket_Create(void) {
    return newPacket();
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (data == nullptr || length > aPACKET_MAXDATA) {
        return nullptr;
    }
    aPacket* packet = newPacket();
    if (packet == nullptr) {
        return nullptr;
    }
    packet->address = address;
    packet->length = length;
    packet->count = static_cast<uint8_t>(length + 2);
    std::memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return nullptr;
    }
    aPacket* copy = new (std::nothrow) aPacket(*packet);
    return copy;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (packet == nullptr || !aVALIDPACKET(*packet)) {
        return aErrParam;
    }
    (*packet)->check = 0; // a stale pointer to freed memory should not pass the check again
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}

CORVANE_HOT_PATH aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    packet->count = 0;
    packet->address = 0;
    packet->length = 0;
    std::memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    if (packet->count < kCountCeiling) {
        ++packet->count;
    }
    if (packet->count > aPACKET_MAXWIRE) {
        return aErrOverrun;
    }
    if (packet->address == 0) {
        if (byte == 0 || (byte & 1) != 0) {
            return aErrPacket;
        }
        packet->address = byte;
        return aErrNone;
    }
    if (packet->length == 0) {
        // A length byte of 0 leaves the packet complete (count 2) before this branch is
        // reached again; the reader resets it before the next packet.
        packet->length = byte;
        return byte > aPACKET_MAXDATA ? aErrPacket : aErrNone;
    }
    if (packet->count > packet->length + 2) {
        return aErrPacket;
    }
    // count is at most aPACKET_MAXWIRE here, so the position is at most aPACKET_MAXDATA - 1.
    packet->data[packet->count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->count == packet->length + 2;
}

namespace {

aErr dataByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask) {
    if (out == nullptr) {
        return aErrParam;
    }
    if (!aVALIDPACKET(packet) || packet->length <= position) {
        return aErrPacket;
    }
    *out = static_cast<uint8_t>(packet->data[position] & mask);
    return aErrNone;
}

} // namespace

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
    return dataByte(packet, cmd, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return dataByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return dataByte(packet, index, 2, 0x1F);
}
