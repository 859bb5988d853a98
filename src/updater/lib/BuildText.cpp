// The one reading of build numbers and firmware versions.
#include "BuildText.h"

#include <charconv>
#include <limits>

namespace {

// The whole text, digits only: from_chars takes no sign or space, and stopping early at a
// non-digit counts as failure here.
std::optional<uint32_t> parseDecimal(std::string_view text, uint32_t max) {
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::nullopt_t refuse(std::string* reason, const char* why, std::string_view text) {
    if (reason) {
        *reason = std::string(why) + " in version [" + std::string(text) + "]";
    }
    return std::nullopt;
}

} // namespace

std::optional<uint32_t> parseBuildNumber(std::string_view text) {
    return parseDecimal(text, std::numeric_limits<uint32_t>::max());
}

std::optional<FirmwareVersion> parseFirmwareVersion(std::string_view text, std::string* reason) {
    const size_t first = text.find('.');
    const size_t second = first == std::string_view::npos ? first : text.find('.', first + 1);
    if (second == std::string_view::npos) {
        return refuse(reason, "too few parts", text);
    }
    if (text.find('.', second + 1) != std::string_view::npos) {
        return refuse(reason, "too many parts", text);
    }
    constexpr uint32_t kByte = std::numeric_limits<uint8_t>::max();
    const auto major = parseDecimal(text.substr(0, first), kByte);
    const auto minor = parseDecimal(text.substr(first + 1, second - first - 1), kByte);
    const auto patch = parseBuildNumber(text.substr(second + 1));
    if (!major || !minor || !patch) {
        return refuse(reason, "invalid number", text);
    }
    return FirmwareVersion{static_cast<uint8_t>(*major), static_cast<uint8_t>(*minor), *patch};
}
