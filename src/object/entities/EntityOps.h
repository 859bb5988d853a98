// The width-generic bodies behind the entity tables' getters, setters and list operations.
#pragma once

#include "corvane/EntityClass.h"

#include <cstdint>
#include <limits>
#include <type_traits>

namespace Corvane::EntityOps {

template <class T> aErr get(EntityClass& entity, uint8_t option, T* value) {
    static_assert(std::is_integral_v<T> && (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4));
    using U = std::make_unsigned_t<T>;
    if (!value)
        return aErrParam;
    // A signed and an unsigned integer of one width may alias each other.
    U* out = reinterpret_cast<U*>(value);
    if constexpr (sizeof(T) == 1)
        return entity.getUEI8(option, out);
    else if constexpr (sizeof(T) == 2)
        return entity.getUEI16(option, out);
    else
        return entity.getUEI32(option, out);
}

template <class T> aErr get(EntityClass& entity, uint8_t option, uint8_t parameter, T* value) {
    static_assert(std::is_integral_v<T> && (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4));
    using U = std::make_unsigned_t<T>;
    if (!value)
        return aErrParam;
    U* out = reinterpret_cast<U*>(value);
    if constexpr (sizeof(T) == 1)
        return entity.getUEI8(option, parameter, out);
    else if constexpr (sizeof(T) == 2)
        return entity.getUEI16(option, parameter, out);
    else
        return entity.getUEI32(option, parameter, out);
}

template <class T> aErr set(EntityClass& entity, uint8_t option, T value) {
    using U = std::make_unsigned_t<T>;
    if constexpr (sizeof(T) == 1)
        return entity.setUEI8(option, static_cast<U>(value));
    else if constexpr (sizeof(T) == 2)
        return entity.setUEI16(option, static_cast<U>(value));
    else
        return entity.setUEI32(option, static_cast<U>(value));
}

template <class T> aErr set(EntityClass& entity, uint8_t option, uint8_t subindex, T value) {
    using U = std::make_unsigned_t<T>;
    if constexpr (sizeof(T) == 1)
        return entity.setUEI8(option, subindex, static_cast<U>(value));
    else if constexpr (sizeof(T) == 2)
        return entity.setUEI16(option, subindex, static_cast<U>(value));
    else
        return entity.setUEI32(option, subindex, static_cast<U>(value));
}

// 32-bit words carried as bytes, stored as they arrive. *count is the number of words, or the
// byte count when the reply is no whole number of words (the result then says aErrMemory).
inline aErr getList(EntityClass& entity, uint8_t option, uint32_t* list, uint32_t capacity,
                    uint32_t* count) {
    if (!list || !count || capacity == 0)
        return aErrParam;
    *count = 0;
    if (capacity > std::numeric_limits<uint32_t>::max() / 4)
        return aErrParam;
    const aErr err =
        entity.getUEIBytes(option, reinterpret_cast<uint8_t*>(list), capacity * 4, count);
    return err == aErrNone ? EntityClass::getUEIBytesCheck(count, 4) : err;
}

inline aErr setList(EntityClass& entity, uint8_t option, const uint32_t* list, uint32_t count) {
    if ((!list && count > 0) || count > std::numeric_limits<uint32_t>::max() / 4)
        return aErrParam;
    return entity.setUEIBytes(option, reinterpret_cast<const uint8_t*>(list), count * 4);
}

// IPv4 addresses, netmasks and gateways travel as exactly four bytes.
inline aErr setIPv4(EntityClass& entity, uint8_t option, const uint8_t* data, uint32_t length) {
    if (length != 4)
        return aErrSize;
    return entity.setUEIBytes(option, data, length);
}

} // namespace Corvane::EntityOps
