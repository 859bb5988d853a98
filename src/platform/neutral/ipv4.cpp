// IPv4 addresses as text and in byte order, and subnet broadcast addresses: pure arithmetic on
// the bytes, the same under every backend.
#include "platform/neutral/ipv4_rules.h"
#include "platform/udp.h"

#include <cstdio>
#include <cstring>

namespace corvane::platform {

aErr parseIPv4(const char* text, uint32_t& address) {
    if (text == nullptr)
        return aErrParse;
    // Four decimal parts of 0 to 255 between dots, none with a leading zero, nothing else.
    uint8_t bytes[4];
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.')
            return aErrParse;
        if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9'))
            return aErrParse;
        unsigned value = 0;
        for (int digits = 0; *p >= '0' && *p <= '9'; ++p, ++digits) {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (digits == 3 || value > 255)
                return aErrParse;
        }
        bytes[part] = static_cast<uint8_t>(value);
    }
    if (*p != '\0')
        return aErrParse;
    std::memcpy(&address, bytes, sizeof address);
    return aErrNone;
}

aErr formatIPv4(uint32_t address, char* buffer, size_t size) {
    uint8_t b[4];
    std::memcpy(b, &address, sizeof b);
    char text[ipv4TextSize];
    const int length = std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    if (buffer == nullptr || static_cast<size_t>(length) >= size)
        return aErrSize;
    std::memcpy(buffer, text, static_cast<size_t>(length) + 1);
    return aErrNone;
}

uint32_t ipv4ToNetwork(uint32_t hostOrder) {
    const uint8_t b[4] = {static_cast<uint8_t>(hostOrder >> 24),
                          static_cast<uint8_t>(hostOrder >> 16),
                          static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
    uint32_t network;
    std::memcpy(&network, b, sizeof network);
    return network;
}

uint32_t ipv4ToHost(uint32_t networkOrder) {
    uint8_t b[4];
    std::memcpy(b, &networkOrder, sizeof b);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

bool subnetBroadcast(uint32_t address, unsigned prefixLength, uint32_t& broadcast) {
    // A /31 or /32 has no broadcast address.
    if (prefixLength >= 31)
        return false;
    const uint32_t hostMask = prefixLength == 0 ? 0xFFFFFFFFu : 0xFFFFFFFFu >> prefixLength;
    broadcast = address | ipv4ToNetwork(hostMask);
    return true;
}

unsigned prefixLengthOf(uint32_t networkMask) {
    const uint32_t mask = ipv4ToHost(networkMask);
    unsigned length = 0;
    while (length < 32 && (mask & (0x80000000u >> length)) != 0)
        ++length;
    return length;
}

} // namespace corvane::platform
