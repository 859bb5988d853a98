// The virtual module's view of the entity class tables (corvane/entities/*.inc), expanded
// into model entity definitions.
#include "EntityModelTable.h"

#include <algorithm>
#include <cstdint>

namespace Corvane::Tools {

namespace {

enum class RowKind { VALUE, PARAM, BYTES, IPV4, LIST, CUSTOM, CUSTOM_PARAM, CALL };

constexpr uint8_t kTableEntityCount = 2;

// A starting value with the top bit set, so that a sign or width mistake changes it.
uint32_t startingValue(uint8_t command, uint8_t option, ValueKind kind) {
    switch (kind) {
    case ValueKind::Byte: return 0x80u | option;
    case ValueKind::Short: return 0x8000u | (uint32_t{option} << 8) | command;
    case ValueKind::Int:
        return 0x80000000u | (uint32_t{command} << 16) | (uint32_t{option} << 8) | 0x5A;
    default: return 0;
    }
}

void addRow(std::vector<EntityDef>& entities, uint8_t command, uint8_t option, RowKind row,
            unsigned width, uint8_t access) {
    if (entities.empty() || entities.back().command != command)
        entities.push_back({command, kTableEntityCount, 0, 0, {}});
    auto& options = entities.back().options;
    auto found = std::find_if(options.begin(), options.end(),
                              [&](const OptionDef& o) { return o.option == option; });
    if (found != options.end()) {
        found->access |= access;
        return;
    }
    OptionDef def{option, ValueKind::Call, access};
    switch (row) {
    case RowKind::CALL: break;
    case RowKind::BYTES:
    case RowKind::LIST: def.kind = ValueKind::Bytes; break;
    case RowKind::IPV4:
        def.kind = ValueKind::Bytes;
        def.initialBytes = {"\xC0\xA8\x01\x0A", 4};
        def.maxBytes = 4;
        break;
    default:
        def.kind = width == 1 ? ValueKind::Byte : width == 2 ? ValueKind::Short : ValueKind::Int;
        def.parameter = row == RowKind::PARAM || row == RowKind::CUSTOM_PARAM;
        def.initial = startingValue(command, option, def.kind);
    }
    if (def.kind == ValueKind::Bytes && def.initialBytes.empty())
        def.initialBytes = {"\x00\x01\x02\x03\x04\x05\x06\x87", 8};
    options.push_back(def);
}

} // namespace

std::vector<EntityDef> tableEntities() {
    std::vector<EntityDef> entities;
    uint8_t command = 0;
#define ENTITY_COMMAND(Class, code) command = code;
#define ENTITY_GET(option, name, kind, T)                                                          \
    addRow(entities, command, option, RowKind::kind, sizeof(T), kAccessGet);
#define ENTITY_SET(option, name, kind, T)                                                          \
    addRow(entities, command, option, RowKind::kind, sizeof(T), kAccessSet);
#define ENTITY_GETSET(option, getter, setter, kind, T)                                             \
    addRow(entities, command, option, RowKind::kind, sizeof(T), kAccessGet | kAccessSet);
#define ENTITY_CALL(option, name) addRow(entities, command, option, RowKind::CALL, 0, kAccessSet);
#include "corvane/entities/AllEntityTables.inc"
#undef ENTITY_COMMAND
#undef ENTITY_GET
#undef ENTITY_SET
#undef ENTITY_GETSET
#undef ENTITY_CALL
    return entities;
}

void addTableEntities(ModelDef& model) {
    for (EntityDef& table : tableEntities()) {
        auto own = std::find_if(model.entities.begin(), model.entities.end(),
                                [&](const EntityDef& e) { return e.command == table.command; });
        if (own == model.entities.end()) {
            model.entities.push_back(std::move(table));
            continue;
        }
        for (const OptionDef& option : table.options)
            if (std::none_of(own->options.begin(), own->options.end(),
                             [&](const OptionDef& o) { return o.option == option.option; }))
                own->options.push_back(option);
    }
}

} // namespace Corvane::Tools
