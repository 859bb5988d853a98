// Build numbers and firmware versions written as text, read by one rule wherever they meet us:
// the Updater, the update server and the virtual module.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A build number: one or more decimal digits and nothing else (no sign, no spaces), at most
// 4294967295; leading zeros still read as decimal. What build 0 means is the caller's business.
std::optional<uint32_t> parseBuildNumber(std::string_view text);

// A firmware version "major.minor.patch". Major and minor are bytes and the patch 32 bits, as a
// module's packed version and aVersion_IsAtLeastCompare take them, so 300.0.0 is no version at
// all rather than a newer one.
struct FirmwareVersion {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    auto operator<=>(const FirmwareVersion&) const = default;
};

// Exactly three parts, each read as a build number is. On nullopt, reason (when given) says why,
// naming the text, for a trace.
std::optional<FirmwareVersion> parseFirmwareVersion(std::string_view text,
                                                    std::string* reason = nullptr);
