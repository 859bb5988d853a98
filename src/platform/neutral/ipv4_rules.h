// The subnet arithmetic the backends' interface lists share (neutral/ipv4.cpp).
#ifndef CORVANE_PLATFORM_NEUTRAL_IPV4_RULES_H
#define CORVANE_PLATFORM_NEUTRAL_IPV4_RULES_H

#include <cstdint>

namespace corvane::platform {

// The broadcast address (network order) of address's subnet of prefixLength bits; false for a
// /31 or /32, which have none.
bool subnetBroadcast(uint32_t address, unsigned prefixLength, uint32_t& broadcast);
// The number of leading one bits of a network mask (network order).
unsigned prefixLengthOf(uint32_t networkMask);

} // namespace corvane::platform

#endif
