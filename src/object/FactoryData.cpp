// Factory data (command 94) on a Corvane::Link: small factory-programmed blocks read and written
// in runs of 26 bytes, each transfer closed by an end request that carries the byte count.
#include "LinkImpl.h"

#include "UEIWire.h"

#include <algorithm>
#include <cstring>

namespace Corvane {

namespace {

constexpr uint8_t kIndexMask = 0x0F;
constexpr uint8_t kWriteFlag = 0x10;
constexpr uint8_t kEndRequest = 0x20;
constexpr uint8_t kFirstFlag = 0x40;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kRunBytes = 26; // data bytes per packet after command and option

// A reply to a request with this option: its option byte is the request's low four bits,
// with bit 7 in the error form (whose code is byte 2).
struct FactoryReply {
    uint8_t address; // of the module asked: another module's reply is not this one's
    uint8_t option;
};

bool isFactoryReply(const aPacket* packet, void* reference) {
    const auto* want = static_cast<const FactoryReply*>(reference);
    return packet->address == want->address && packet->length >= 2 &&
           packet->data[0] == kCmdFactoryData &&
           (packet->data[1] & ~kErrorBit) == (want->option & kIndexMask);
}

PacketPtr factoryExchange(aLinkRef link, uint8_t address, const uint8_t* request, uint8_t length,
                          aErr* err) {
    *err = putPacket(link, address, length, request);
    if (*err != aErrNone)
        return nullptr;
    FactoryReply want{address, request[1]};
    PacketPtr reply(aLink_AwaitFirst(link, isFactoryReply, &want, kReplyTimeoutMs));
    if (!reply)
        *err = aErrTimeout;
    return reply;
}

// The device's code of an error reply, or 0 for another reply.
aErr factoryError(const aPacket& reply) {
    if ((reply.data[1] & kErrorBit) == 0)
        return aErrNone;
    return reply.length >= 3 ? static_cast<aErr>(reply.data[2]) : aErrUnknown;
}

aErr endTransfer(aLinkRef link, uint8_t address, uint32_t count) {
    const uint8_t request[] = {kCmdFactoryData, kEndRequest, static_cast<uint8_t>(count >> 8),
                               static_cast<uint8_t>(count)};
    aErr err = aErrNone;
    PacketPtr reply = factoryExchange(link, address, request, sizeof request, &err);
    if (!reply)
        return err;
    return factoryError(*reply);
}

} // namespace

aErr Link::getFactoryData(uint8_t address, uint8_t index, uint8_t* buffer, uint32_t bufferLength,
                          uint32_t* unloadedLength) {
    if (!buffer || !unloadedLength || index > kIndexMask)
        return aErrParam;
    *unloadedLength = 0;
    if (!impl_->running())
        return aErrConnection;
    const aLinkRef link = impl_->linkId;
    uint32_t count = 0;
    uint8_t option = static_cast<uint8_t>(index | kFirstFlag);
    // A full reply brings 26 bytes, so a module that never stops overruns the buffer.
    for (;;) {
        const uint8_t request[] = {kCmdFactoryData, option};
        option = index;
        aErr err = aErrNone;
        PacketPtr reply = factoryExchange(link, address, request, sizeof request, &err);
        if (!reply)
            return err;
        if (const aErr code = factoryError(*reply); code != aErrNone)
            return code;
        const uint32_t bytes = reply->length - 2u;
        if (bytes > bufferLength - count)
            return aErrOverrun;
        std::memcpy(buffer + count, reply->data + 2, bytes);
        count += bytes;
        if (reply->length != aPACKET_MAXDATA)
            break;
    }
    if (const aErr err = endTransfer(link, address, count); err != aErrNone)
        return err;
    *unloadedLength = count;
    return aErrNone;
}

aErr Link::setFactoryData(uint8_t address, uint8_t index, const uint8_t* data, uint32_t length) {
    if ((length > 0 && !data) || index > kIndexMask || length > 0xFFFF)
        return aErrParam;
    if (!impl_->running())
        return aErrConnection;
    const aLinkRef link = impl_->linkId;
    for (uint32_t sent = 0; sent < length;) {
        const uint8_t count = static_cast<uint8_t>(std::min<uint32_t>(length - sent, kRunBytes));
        uint8_t request[2 + kRunBytes] = {
            kCmdFactoryData,
            static_cast<uint8_t>(index | kWriteFlag | (sent == 0 ? kFirstFlag : 0))};
        std::memcpy(request + 2, data + sent, count);
        aErr err = aErrNone;
        PacketPtr reply =
            factoryExchange(link, address, request, static_cast<uint8_t>(2 + count), &err);
        if (!reply)
            return err;
        if (const aErr code = factoryError(*reply); code != aErrNone)
            return code;
        if (reply->length != 2)
            return aErrSize;
        sent += count;
    }
    return endTransfer(link, address, length);
}

} // namespace Corvane
