// The virtual module's factory data (command 94): blocks from the model's table, read and
// written in runs that a host ends by giving the count it moved.
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
class FactoryDataModel {
  public:
    explicit FactoryDataModel(const ModelDef& def);

    // Answers one request of command 94 as a module does, unless faults silence it.
    void handle(ModuleConnection& c, const WirePacket& request, const ModelFaults& faults);

    // What a block holds now; none for a block the model does not have.
    std::optional<std::vector<uint8_t>> block(uint8_t index) const;

  private:
    struct Block {
        uint16_t capacity;
        std::vector<uint8_t> bytes;
    };
    // One transfer at a time; a write takes effect at its end.
    struct Transfer {
        uint8_t index;
        bool writing;
        std::size_t position;
        std::vector<uint8_t> bytes;
    };

    void end(ModuleConnection& c, const WirePacket& request);

    std::map<uint8_t, Block> blocks_;
    std::optional<Transfer> transfer_;
};

} // namespace Corvane::Tools
