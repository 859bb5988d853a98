// What a simulated module of each model holds: its entities with their options, value widths
// and starting values, its store slots and its factory data blocks. Pure data; the request/reply
// engine (RequestReplyModel) serves whatever the table of the module's model lists.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace Corvane::Tools {

enum class ValueKind : uint8_t { Call, Byte, Short, Int, Bytes };

// Where a value comes from: the engine's own store, or the module's identity. RouterAddress is
// stored too, but starts as the identity's router address.
enum class ValueSource : uint8_t {
    Stored,
    ModuleAddress,
    Model,
    SerialNumber,
    Build,
    RouterAddress
};

inline constexpr uint8_t kAccessGet = 1;
inline constexpr uint8_t kAccessSet = 2; // for a call: the call itself

struct OptionDef {
    uint8_t option;
    ValueKind kind;
    uint8_t access;
    // Gets carry a parameter byte and sets a subindex; each value is kept per parameter.
    bool parameter = false;
    uint32_t initial = 0;
    std::string_view initialBytes = {};
    uint32_t maxBytes = 256; // longest byte array a set may store
    ValueSource source = ValueSource::Stored;
};

struct EntityDef {
    uint8_t command;
    uint8_t count; // entities with indexes 0 to count - 1
    uint8_t group;
    uint8_t subClasses;
    std::vector<OptionDef> options;
};

struct SlotDef {
    uint8_t store;
    uint8_t slot;
    uint16_t capacity;
    std::string_view initial;
};

struct FactoryBlockDef {
    uint8_t index; // 0 to 15
    std::string_view initial;
    uint16_t capacity;
};

struct ModelDef {
    uint32_t build;
    std::vector<EntityDef> entities;
    std::vector<SlotDef> slots;
    std::vector<FactoryBlockDef> factoryBlocks;
};

// The table of a model; models without a table of their own get the common one.
const ModelDef& modelDefinition(uint8_t model);

} // namespace Corvane::Tools
