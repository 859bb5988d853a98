// The machinery behind the entity classes: each class's operations are one table
// (corvane/entities/<Class>.inc) from which its declarations, its definitions and the virtual
// module's model are all expanded, so an option code or a width is written exactly once.
#pragma once

#include "EntityClass.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Corvane {

// A getter accepts its width in either signedness: the module's firmware alone gives a value
// its meaning, and the bits are passed through unchanged.
template <class T>
using EntityOtherSign =
    std::conditional_t<std::is_signed_v<T>, std::make_unsigned_t<T>, std::make_signed_t<T>>;

} // namespace Corvane

// The members every entity class has besides its table: construction, copying, the virtual
// destructor and init, which binds the object to one entity of a module.
#define CORVANE_ENTITY_CLASS_MEMBERS(Class)                                                        \
    Class() = default;                                                                             \
    Class(const Class&) = default;                                                                 \
    Class& operator=(const Class&) = default;                                                      \
    ~Class() override = default;                                                                   \
    void init(Module* module, uint8_t index);
