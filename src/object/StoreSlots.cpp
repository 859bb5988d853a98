// Store slots (command 4) on a Corvane::Link: slot capacity and size, and whole slots moved in
// and out of a module's store through an open handle, in checksummed runs.
#include "LinkImpl.h"

#include "UEIWire.h"

#include <algorithm>
#include <cstring>

namespace Corvane {

namespace {

enum SlotOption : uint8_t {
    kSlotCapacity = 1,
    kSlotSize = 2,
    kSlotOpenRead = 3,
    kSlotOpenWrite = 4,
    kSlotRead = 6,
    kSlotWrite = 7,
    kSlotClose = 8,
};
constexpr uint8_t kSlotErrorBit = 0x80;
constexpr uint32_t kSlotOpenTimeoutMs = 3000;
constexpr uint8_t kRunBytes = 25; // data bytes per write request

// Which reply one slot request waits for: by store and slot for options 1 to 4, by handle
// for the others; the error form has bit 7 in the option byte.
struct SlotReply {
    uint8_t option;
    uint8_t store;
    uint8_t slot;
    uint8_t handle;
    uint8_t address = 0; // of the module asked: another module's reply is not this one's
};

bool isSlotReply(const aPacket* packet, void* reference) {
    const auto* want = static_cast<const SlotReply*>(reference);
    if (packet->address != want->address || packet->length < 4 ||
        packet->data[0] != kCmdStoreSlot || (packet->data[1] & ~kSlotErrorBit) != want->option)
        return false;
    if (want->option <= kSlotOpenWrite)
        return packet->data[2] == want->store && packet->data[3] == want->slot;
    return packet->data[2] == want->handle;
}

bool isSlotError(const aPacket& reply) {
    return (reply.data[1] & kSlotErrorBit) != 0;
}

// The device's code of an error reply: byte 4 for options 1 to 4, byte 3 for the others.
aErr slotErrorCode(const aPacket& reply) {
    const uint8_t at = (reply.data[1] & ~kSlotErrorBit) <= kSlotOpenWrite ? 4 : 3;
    return reply.length > at ? static_cast<aErr>(reply.data[at]) : aErrUnknown;
}

// Sends a slot request and waits for its reply; null on a failed put or without a reply.
PacketPtr slotExchange(aLinkRef link, uint8_t address, const uint8_t* request, uint8_t length,
                       const SlotReply& want, uint32_t timeoutMs, aErr* err) {
    *err = putPacket(link, address, length, request);
    if (*err != aErrNone)
        return nullptr;
    SlotReply match = want;
    match.address = address;
    PacketPtr reply(aLink_AwaitFirst(link, isSlotReply, &match, timeoutMs));
    if (!reply)
        *err = aErrTimeout;
    return reply;
}

// Sends a request that names store and slot (options 1 to 4) and waits for its reply.
PacketPtr slotRequest(aLinkRef link, uint8_t address, SlotOption option, uint8_t store,
                      uint8_t slot, uint32_t timeoutMs, aErr* err) {
    const uint8_t request[] = {kCmdStoreSlot, option, store, slot};
    return slotExchange(link, address, request, sizeof request, {option, store, slot, 0}, timeoutMs,
                        err);
}

aErr slotQuery(aLinkRef link, uint8_t address, SlotOption option, uint8_t store, uint8_t slot,
               uint32_t* value) {
    aErr err = aErrNone;
    PacketPtr reply = slotRequest(link, address, option, store, slot, kReplyTimeoutMs, &err);
    if (!reply)
        return err;
    if (isSlotError(*reply))
        return slotErrorCode(*reply);
    if (reply->length != 6)
        return aErrUnknown;
    *value = readBig16(reply->data + 4);
    return aErrNone;
}

// Opens a slot for reading or writing; false when it could not be opened.
bool slotOpen(aLinkRef link, uint8_t address, SlotOption option, uint8_t store, uint8_t slot,
              uint8_t* handle) {
    aErr err = aErrNone;
    PacketPtr reply = slotRequest(link, address, option, store, slot, kSlotOpenTimeoutMs, &err);
    if (!reply || isSlotError(*reply) || reply->length < 5)
        return false;
    *handle = reply->data[4];
    return true;
}

// A close that gets no reply counts as done.
aErr slotClose(aLinkRef link, uint8_t address, uint8_t handle) {
    const uint8_t request[] = {kCmdStoreSlot, kSlotClose, handle};
    aErr err = aErrNone;
    PacketPtr reply = slotExchange(link, address, request, sizeof request,
                                   {kSlotClose, 0, 0, handle}, kReplyTimeoutMs, &err);
    if (!reply)
        return err == aErrTimeout ? aErrNone : err;
    if (isSlotError(*reply))
        return slotErrorCode(*reply);
    return reply->length == 4 ? aErrNone : aErrIO;
}

aErr slotWriteRun(aLinkRef link, uint8_t address, uint8_t handle, const uint8_t* data,
                  uint8_t count) {
    uint8_t request[3 + kRunBytes] = {kCmdStoreSlot, kSlotWrite, handle};
    std::memcpy(request + 3, data, count);
    uint8_t sum = 0;
    for (uint8_t i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    aErr err = aErrNone;
    PacketPtr reply = slotExchange(link, address, request, static_cast<uint8_t>(3 + count),
                                   {kSlotWrite, 0, 0, handle}, kReplyTimeoutMs, &err);
    if (!reply)
        return err;
    if (isSlotError(*reply))
        return slotErrorCode(*reply);
    // Only a 4-byte reply carries the checksum; anything else cannot confirm the run.
    return reply->length == 4 && reply->data[3] == sum ? aErrNone : aErrIO;
}

} // namespace

aErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, uint32_t* capacity) {
    if (!capacity)
        return aErrParam;
    if (!impl_->running())
        return aErrConnection;
    return slotQuery(impl_->linkId, address, kSlotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, uint32_t* size) {
    if (!size)
        return aErrParam;
    if (!impl_->running())
        return aErrConnection;
    return slotQuery(impl_->linkId, address, kSlotSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data,
                         uint32_t length) {
    if (length > 0 && !data)
        return aErrParam;
    if (!impl_->running())
        return aErrConnection;
    const aLinkRef link = impl_->linkId;
    uint8_t handle = 0;
    if (!slotOpen(link, address, kSlotOpenWrite, store, slot, &handle))
        return aErrMedia;
    aErr runErr = aErrNone;
    for (uint32_t sent = 0; sent < length && runErr == aErrNone;) {
        const uint8_t count = static_cast<uint8_t>(std::min<uint32_t>(length - sent, kRunBytes));
        runErr = slotWriteRun(link, address, handle, data + sent, count);
        sent += count;
    }
    const aErr closeErr = slotClose(link, address, handle);
    return runErr != aErrNone ? runErr : closeErr;
}

aErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer,
                           uint32_t bufferLength, uint32_t* unloadedLength) {
    if (!buffer || !unloadedLength)
        return aErrParam;
    *unloadedLength = 0;
    if (!impl_->running())
        return aErrConnection;
    const aLinkRef link = impl_->linkId;
    uint32_t size = 0;
    if (const aErr err = slotQuery(link, address, kSlotSize, store, slot, &size); err != aErrNone)
        return err;
    uint8_t handle = 0;
    if (!slotOpen(link, address, kSlotOpenRead, store, slot, &handle))
        return aErrMedia;
    const uint32_t wanted = std::min(bufferLength, size);
    uint32_t copied = 0;
    aErr readErr = aErrNone;
    // Every reply carries at least one byte, so this ends after at most wanted requests.
    while (copied < wanted) {
        const uint8_t request[] = {kCmdStoreSlot, kSlotRead, handle};
        PacketPtr reply = slotExchange(link, address, request, sizeof request,
                                       {kSlotRead, 0, 0, handle}, kReplyTimeoutMs, &readErr);
        if (!reply)
            break;
        if (isSlotError(*reply)) {
            readErr = slotErrorCode(*reply);
            break;
        }
        const uint32_t count = std::min<uint32_t>(reply->length - 3u, wanted - copied);
        std::memcpy(buffer + copied, reply->data + 3, count);
        copied += count;
    }
    const aErr closeErr = slotClose(link, address, handle);
    *unloadedLength = copied;
    if (readErr != aErrNone)
        return readErr;
    if (closeErr != aErrNone)
        return closeErr;
    return size > bufferLength ? aErrOverrun : aErrNone;
}

} // namespace Corvane
