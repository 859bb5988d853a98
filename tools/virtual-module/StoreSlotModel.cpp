// Store slots of the virtual module: queries and opens by store and slot, then reads, writes
// with a checksum in each reply, and the close, by handle.
#include "StoreSlotModel.h"

#include <algorithm>

#include "corvane/aError.h"

namespace Corvane::Tools {

namespace {

constexpr uint8_t kSlotReadBytes = 25;
constexpr uint8_t kSlotErrorBit = 0x80;
constexpr std::size_t kMaxOpenHandles = 16;

uint16_t slotKey(uint8_t store, uint8_t slot) {
    return uint16_t(store << 8 | slot);
}

} // namespace

StoreSlotModel::StoreSlotModel(const ModelDef& def) {
    for (const SlotDef& s : def.slots)
        slots_[slotKey(s.store, s.slot)] = {
            s.capacity, std::vector<uint8_t>(s.initial.begin(), s.initial.end())};
}

std::optional<std::vector<uint8_t>> StoreSlotModel::contents(uint8_t store, uint8_t slot) const {
    const auto found = slots_.find(slotKey(store, slot));
    if (found == slots_.end())
        return std::nullopt;
    return found->second.bytes;
}

void StoreSlotModel::handle(ModuleConnection& c, const WirePacket& request, ModelFaults& faults) {
    if (request.length < 3)
        return;
    const uint8_t option = request.data[1];
    if (faults.silentUei.matches(kCmdStoreSlot, option))
        return;
    if (option >= 1 && option <= 4)
        bySlot(c, request);
    else
        byHandle(c, request, faults);
}

void StoreSlotModel::bySlot(ModuleConnection& c, const WirePacket& request) {
    if (request.length != 4)
        return;
    const uint8_t address = c.identity().address;
    const uint8_t option = request.data[1];
    const uint8_t* args = request.data.data() + 2;
    // The error code follows store and slot.
    auto slotError = [&](aErr code) {
        c.send(WirePacket(address, {kCmdStoreSlot, uint8_t(option | kSlotErrorBit), args[0],
                                    args[1], uint8_t(code)}));
    };
    const uint16_t key = slotKey(args[0], args[1]);
    const auto found = slots_.find(key);
    if (found == slots_.end())
        return slotError(aErrNotFound);
    Slot& slot = found->second;
    if (option <= 2) {
        const uint16_t value = option == 1 ? slot.capacity : uint16_t(slot.bytes.size());
        c.send(WirePacket(address, {kCmdStoreSlot, option, args[0], args[1], uint8_t(value >> 8),
                                    uint8_t(value)}));
        return;
    }
    if (handles_.size() >= kMaxOpenHandles)
        return slotError(aErrResource);
    while (nextHandle_ == 0 || handles_.count(nextHandle_))
        ++nextHandle_;
    const uint8_t handle = nextHandle_++;
    const bool writing = option == 4;
    if (writing)
        slot.bytes.clear();
    handles_[handle] = Handle{key, writing, 0};
    c.send(WirePacket(address, {kCmdStoreSlot, option, args[0], args[1], handle}));
}

void StoreSlotModel::byHandle(ModuleConnection& c, const WirePacket& request, ModelFaults& faults) {
    const uint8_t address = c.identity().address;
    const uint8_t option = request.data[1];
    const uint8_t* args = request.data.data() + 2;
    // The error code follows the handle.
    auto handleError = [&](aErr code) {
        c.send(WirePacket(
            address, {kCmdStoreSlot, uint8_t(option | kSlotErrorBit), args[0], uint8_t(code)}));
    };
    const auto open = handles_.find(args[0]);
    if (open == handles_.end())
        return handleError(aErrNotFound);
    Handle& handle = open->second;
    Slot& slot = slots_[handle.slot];
    switch (option) {
    case 6: { // read
        if (handle.writing)
            return handleError(aErrMode);
        const std::size_t count =
            std::min<std::size_t>(slot.bytes.size() - handle.position, kSlotReadBytes);
        if (count == 0)
            return handleError(aErrEOF);
        WirePacket reply(address, {kCmdStoreSlot, option, args[0]});
        reply.append(slot.bytes.data() + handle.position, count);
        handle.position += count;
        c.send(reply);
        return;
    }
    case 7: { // write
        if (!handle.writing)
            return handleError(aErrMode);
        const std::size_t count = request.length - 3u;
        if (slot.bytes.size() + count > slot.capacity)
            return handleError(aErrOverrun);
        uint8_t sum = 0;
        for (std::size_t i = 0; i < count; ++i) {
            slot.bytes.push_back(request.data[3 + i]);
            sum = uint8_t(sum + request.data[3 + i]);
        }
        if (faults.badSlotChecksum != 0 && --faults.badSlotChecksum == 0)
            sum = uint8_t(~sum);
        c.send(WirePacket(address, {kCmdStoreSlot, option, args[0], sum}));
        return;
    }
    case 8: // close
        handles_.erase(open);
        c.send(WirePacket(address, {kCmdStoreSlot, option, args[0], 0}));
        return;
    default: return handleError(aErrInvalidOption);
    }
}

} // namespace Corvane::Tools
