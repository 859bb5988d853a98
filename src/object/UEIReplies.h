// How the object layer takes modules' answers apart, apart from the waits that bring them: a UEI
// reply into its record, and the packets of a UEIBytes run into the caller's buffer.
#pragma once

#include "aPacketFifoInternal.h"
#include "corvane/aPacket.h"
#include "corvane/aUEI.h"

#include <cstdint>
#include <type_traits>

namespace Corvane {

// The default reply filter of Link::receiveUEI: accepts the reply the uei at reference describes
// (its module, command, option and index) and decodes its value, or error code, into it.
uint8_t decodeUEIReply(const aPacket* packet, const void* reference);

// The state of one getUEIBytes transfer, filled in by EntityClass::sUEIBytesFilter under the
// FIFO's lock. It starts with the uei that Link::receiveUEI hands to the filter, so the filter
// reaches the whole record through it.
struct BytesTransfer {
    uei reply; // module, command, plain option and index of the awaited packets
    uint8_t* buffer;
    uint32_t bufferLength;
    uint32_t* unloaded;
    uint8_t expected; // sequence number of the next packet, modulo 128
    bool more;
    aErr failure; // aErrMemory once the data did not fit
    bool errorReply;
    uint8_t errorCode;
};

static_assert(std::is_standard_layout_v<BytesTransfer>);

// A getUEIBytes run as the incoming FIFO offers it: each packet sUEIBytesFilter accepts moves
// the transfer on to the next sequence number, until the last packet, an error reply or the
// most packets a run may take.
struct BytesRun {
    BytesTransfer* transfer;
    uint32_t maxPackets;
    uint32_t taken;
};

// The run filter of getUEIBytes; reference is a BytesRun.
aRunVerdict takeBytesRun(const aPacket* packet, void* reference);

} // namespace Corvane
