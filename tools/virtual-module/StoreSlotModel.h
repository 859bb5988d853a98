// The virtual module's store slots (command 4): capacities and contents from the model's table,
// and the handles hosts open on them to read or write.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "ModelFaults.h"
#include "ModelTable.h"
#include "VirtualModule.h"

namespace Corvane::Tools {

// Not thread-safe: the request/reply model calls it under its own lock.
class StoreSlotModel {
  public:
    explicit StoreSlotModel(const ModelDef& def);

    // Answers one request of command 4 as a module does; faults may silence it or spoil the
    // checksum of a write reply (that fault counts down as writes are answered).
    void handle(ModuleConnection& c, const WirePacket& request, ModelFaults& faults);

    // What a slot holds now; none for a slot the model does not have.
    std::optional<std::vector<uint8_t>> contents(uint8_t store, uint8_t slot) const;

  private:
    struct Slot {
        uint16_t capacity = 0;
        std::vector<uint8_t> bytes;
    };
    struct Handle {
        uint16_t slot; // store << 8 | slot
        bool writing;
        std::size_t position;
    };

    // Options 1 to 4: capacity, size, open for reading, open for writing.
    void bySlot(ModuleConnection& c, const WirePacket& request);
    // Options 6 to 8 on an open handle: read, write, close.
    void byHandle(ModuleConnection& c, const WirePacket& request, ModelFaults& faults);

    std::map<uint16_t, Slot> slots_;
    std::map<uint8_t, Handle> handles_;
    uint8_t nextHandle_ = 1;
};

} // namespace Corvane::Tools
