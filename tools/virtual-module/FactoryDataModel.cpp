// Factory data of the virtual module: runs of up to 26 bytes read or written per request, and
// the end request whose count must match what moved.
#include "FactoryDataModel.h"

#include <algorithm>
#include <utility>

#include "corvane/aError.h"

namespace Corvane::Tools {

namespace {

constexpr uint8_t kFactoryIndexMask = 0x0F;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryErrorBit = 0x80;
constexpr uint8_t kFactoryRunBytes = 26;

void sendError(ModuleConnection& c, uint8_t option, aErr code) {
    c.send(WirePacket(c.identity().address,
                      {kCmdFactoryData, uint8_t((option & kFactoryIndexMask) | kFactoryErrorBit),
                       uint8_t(code)}));
}

} // namespace

FactoryDataModel::FactoryDataModel(const ModelDef& def) {
    for (const FactoryBlockDef& b : def.factoryBlocks)
        blocks_[b.index] = {b.capacity, std::vector<uint8_t>(b.initial.begin(), b.initial.end())};
}

std::optional<std::vector<uint8_t>> FactoryDataModel::block(uint8_t index) const {
    const auto found = blocks_.find(index);
    if (found == blocks_.end())
        return std::nullopt;
    return found->second.bytes;
}

void FactoryDataModel::end(ModuleConnection& c, const WirePacket& request) {
    const uint8_t option = request.data[1];
    if (request.length != 4)
        return sendError(c, option, aErrSize);
    const std::size_t count = std::size_t(request.data[2]) << 8 | request.data[3];
    std::optional<Transfer> transfer = std::exchange(transfer_, std::nullopt);
    if (!transfer)
        return sendError(c, option, aErrNotReady);
    const std::size_t moved = transfer->writing ? transfer->bytes.size() : transfer->position;
    if (count != moved)
        return sendError(c, option, aErrSize);
    if (transfer->writing)
        blocks_[transfer->index].bytes = std::move(transfer->bytes);
    c.send(WirePacket(c.identity().address, {kCmdFactoryData, 0}));
}

void FactoryDataModel::handle(ModuleConnection& c, const WirePacket& request,
                              const ModelFaults& faults) {
    if (request.length < 2)
        return;
    const uint8_t option = request.data[1];
    if (faults.silentUei.matches(kCmdFactoryData, option & kFactoryIndexMask))
        return;
    if (option == kFactoryEnd)
        return end(c, request);
    const uint8_t address = c.identity().address;
    const uint8_t index = option & kFactoryIndexMask;
    const auto block = blocks_.find(index);
    if (block == blocks_.end())
        return sendError(c, option, aErrNotFound);
    const bool writing = (option & kFactoryWrite) != 0;
    if (option & kFactoryFirst)
        transfer_ = Transfer{index, writing, 0, {}};
    else if (!transfer_ || transfer_->index != index || transfer_->writing != writing)
        return sendError(c, option, aErrMode);
    Transfer& transfer = *transfer_;
    if (writing) {
        const std::size_t count = request.length - 2u;
        if (transfer.bytes.size() + count > block->second.capacity)
            return sendError(c, option, aErrOverrun);
        transfer.bytes.insert(transfer.bytes.end(), request.data.begin() + 2,
                              request.data.begin() + request.length);
        c.send(WirePacket(address, {kCmdFactoryData, index}));
        return;
    }
    const std::vector<uint8_t>& bytes = block->second.bytes;
    const std::size_t count =
        std::min<std::size_t>(bytes.size() - transfer.position, kFactoryRunBytes);
    WirePacket reply(address, {kCmdFactoryData, index});
    reply.append(bytes.data() + transfer.position, count);
    transfer.position += count;
    c.send(reply);
}

} // namespace Corvane::Tools
