// UEI requests and replies on a Corvane::Link: building request packets (UEIBytes runs
// included), the default reply filter that decodes a reply, and dropping stale replies.
#include "LinkImpl.h"

#include "UEIReplies.h"
#include "UEIWire.h"
#include "aDebugTrace.h"
#include "aLinkInternal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Corvane {

namespace {

constexpr uint8_t kHeaderBytes = 3; // command, option, specifier

// Carries a caller's UEI filter through the engine's filter form.
struct FilterCall {
    ueiFilter filter;
    const void* reference;
};

bool callUeiFilter(const aPacket* packet, void* reference) {
    const auto* call = static_cast<const FilterCall*>(reference);
    return call->filter(packet, call->reference) != 0;
}

// A reply from record's module to its command, with its option byte exactly and its index.
bool isReplyTo(const aPacket* packet, const uei& record) {
    return packet->address == record.module && packet->length >= kHeaderBytes &&
           packet->data[0] == record.command && packet->data[1] == record.option &&
           (packet->data[2] & aUEI_INDEX_MASK) == record.specifier;
}

bool isReplyToPattern(const aPacket* packet, void* reference) {
    return isReplyTo(packet, *static_cast<const uei*>(reference));
}

// Writes the value of a byte, short or int record after the header; 0 for a type without a
// single-packet form.
uint8_t writeScalar(const uei& request, uint8_t* out) {
    switch (request.type) {
    case typeVoid: return 0;
    case typeByte: out[0] = request.value.byteVal; return 1;
    case typeShort: writeBig16(out, request.value.shortVal); return 2;
    case typeInt: writeBig32(out, request.value.intVal); return 4;
    case typeBytes: break;
    }
    return 0xFF;
}

// A run is queued in batches of this many packets, each with one wake-up of the writer.
constexpr std::size_t kRunBatch = 1000;

aErr sendBytesRun(aLinkRef link, const uei& request) {
    const uint32_t total = request.value.bytesLength;
    if (total > 0 && !request.value.bytes)
        return aErrParam;
    // A run longer than the outgoing FIFO holds waits for the writer to make room, as long as
    // a reply to it would be waited for.
    const uint32_t idleMs = total > kLargePayloadBytes ? kLargeReplyTimeoutMs : kReplyTimeoutMs;
    std::vector<aPacket> batch;
    batch.reserve(std::min<std::size_t>(kRunBatch, total / aUEI_BYTES_PER_PACKET + 1));
    uint32_t sent = 0;
    uint8_t sequence = 0;
    do {
        const uint32_t count = std::min<uint32_t>(total - sent, aUEI_BYTES_PER_PACKET);
        aPacket& packet = batch.emplace_back();
        packet.check = aPACKET_CHECK;
        packet.address = request.module;
        packet.length = static_cast<uint8_t>(kHeaderBytes + count + 1);
        packet.count = static_cast<uint8_t>(packet.length + 2);
        packet.data[0] = request.command;
        packet.data[1] = request.option;
        packet.data[2] = request.specifier;
        if (count > 0)
            std::memcpy(packet.data + kHeaderBytes, request.value.bytes + sent, count);
        sent += count;
        const uint8_t more = sent < total ? aUEI_BYTES_MORE : 0;
        packet.data[kHeaderBytes + count] = static_cast<uint8_t>(more | sequence);
        sequence = (sequence + 1) & aUEI_BYTES_SEQUENCE_MASK;
        if (batch.size() == kRunBatch || sent == total) {
            if (const aErr err = aLink_PutPackets(link, batch.data(), batch.size(), idleMs);
                err != aErrNone)
                return err;
            batch.clear();
        }
    } while (sent < total);
    return aErrNone;
}

} // namespace

uint8_t decodeUEIReply(const aPacket* packet, const void* reference) {
    auto* record = static_cast<uei*>(const_cast<void*>(reference));
    if (!isReplyTo(packet, *record))
        return 0;
    const uint8_t* value = packet->data + kHeaderBytes;
    if (packet->data[2] & aUEI_SPEC_ERROR) {
        record->specifier = packet->data[2];
        record->value.byteVal = packet->length > kHeaderBytes ? value[0] : uint8_t{aErrUnknown};
        return 1;
    }
    switch (packet->length) {
    case 3: record->type = typeVoid; break;
    case 4:
        record->type = typeByte;
        record->value.byteVal = value[0];
        break;
    case 5:
        record->type = typeShort;
        record->value.shortVal = readBig16(value);
        break;
    case 7:
        record->type = typeInt;
        record->value.intVal = readBig32(value);
        break;
    default: break; // accepted without a value
    }
    return 1;
}

aErr Link::sendUEI(uei request) {
    if (!impl_->running())
        return aErrConnection;
    if (!validModuleAddress(request.module))
        return aErrPacket;
    if (request.type == typeBytes)
        return sendBytesRun(impl_->linkId, request);
    uint8_t packet[aPACKET_MAXDATA] = {request.command, request.option, request.specifier};
    const uint8_t valueBytes = writeScalar(request, packet + kHeaderBytes);
    if (valueBytes == 0xFF)
        return aErrParam;
    return putPacket(impl_->linkId, request.module, static_cast<uint8_t>(kHeaderBytes + valueBytes),
                     packet);
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
    if (!impl_->running())
        return aErrConnection;
    if (!validModuleAddress(request.module))
        return aErrPacket;
    uint8_t packet[aPACKET_MAXDATA] = {request.command, request.option, request.specifier,
                                       subindex};
    const uint8_t valueBytes = writeScalar(request, packet + kHeaderBytes + 1);
    if (valueBytes == 0xFF)
        return aErrParam;
    return putPacket(impl_->linkId, request.module,
                     static_cast<uint8_t>(kHeaderBytes + 1 + valueBytes), packet);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply) {
    return receiveUEI(module, command, option, index, reply, decodeUEIReply);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                      ueiFilter filter) {
    if (!impl_->running())
        return aErrConnection;
    if (!validModuleAddress(module))
        return aErrPacket;
    if (!reply || !filter)
        return aErrParam;
    uint32_t timeout = kReplyTimeoutMs;
    if (reply->type == typeBytes && reply->value.bytesLength > kLargePayloadBytes) {
        timeout = kLargeReplyTimeoutMs;
        corvane::debugTrace("receiveUEI - Expanding timeout for large payload: %lu\n",
                            static_cast<unsigned long>(timeout));
    }
    reply->module = module;
    reply->command = command;
    reply->option = option;
    reply->specifier = index;
    FilterCall call{filter, reply};
    return awaitAndDrop(impl_->linkId, callUeiFilter, &call, timeout);
}

aErr Link::Impl::receiveRun(uint8_t module, aPacketRunFilter filter, void* reference,
                            uint32_t timeoutMs) const {
    if (!running())
        return aErrConnection;
    if (!validModuleAddress(module))
        return aErrPacket;
    return aLink_AwaitRun(linkId, filter, reference, timeoutMs) > 0 ? aErrNone : aErrTimeout;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    uei pattern{};
    pattern.module = module;
    pattern.command = command;
    pattern.option = option;
    pattern.specifier = index;
    aLink_DrainPackets(impl_->linkId, isReplyToPattern, &pattern);
    return aErrNone;
}

} // namespace Corvane
