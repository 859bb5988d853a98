// Fuzz entry for discovery answers: a datagram as the TCP/IP discovery reply and as a sharing
// server's beacon answer, as the listeners take them apart.
#pragma once

#include "aBeacon.h"
#include "aDiscoveryInternal.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The input: the sender's IPv4 address (4 bytes, network byte order), one byte that picks a
// subnet broadcast of this host (0: none, else the sender's own address is one), then the
// payload. What a parser accepts must say what the payload says, and must be what the payload's
// builder makes of those values.
inline std::string fuzzDiscovery(const uint8_t* data, size_t size) {
    using namespace corvane::discovery;
    if (size < 5) {
        return {};
    }
    uint32_t from = 0;
    std::memcpy(&from, data, sizeof from);
    std::vector<uint32_t> broadcasts;
    if (data[4] != 0) {
        broadcasts.push_back(from);
    }
    const uint8_t* payload = data + 5;
    const size_t length = size - 5;

    linkSpec spec{};
    if (parseReply(payload, length, from, spec, broadcasts)) {
        if (length != kDatagramSize || !reachableModuleAddress(from, broadcasts) ||
            !broadcasts.empty()) {
            return "a reply was taken from a size or a sender it may not come from";
        }
        if (spec.type != TCPIP || spec.ipAddress != from || spec.port == 0 ||
            spec.module != payload[1] || spec.model != payload[12]) {
            return "the reply's specifier does not say what the reply says";
        }
        uint8_t again[kDatagramSize];
        buildReply(static_cast<uint8_t>(spec.module), static_cast<uint16_t>(spec.port),
                   spec.serialNumber, static_cast<uint8_t>(spec.model), again);
        for (size_t i : {1, 2, 3, 4, 5, 6, 7, 12}) {
            if (again[i] != payload[i]) {
                return "the reply's specifier does not build the same reply";
            }
        }
    }

    linkSpec answer{};
    if (corvane::parseServerAnswer(payload, length, answer)) {
        if (length != sizeof(linkSpec) || answer.type != AETHER || answer.ipAddress == 0 ||
            answer.port == 0 || answer.port > 0xFFFF) {
            return "a beacon answer was taken that is no server's";
        }
        if (std::memcmp(&answer, payload, sizeof answer) != 0) {
            return "the beacon answer's specifier differs from its bytes";
        }
    }
    return {};
}
