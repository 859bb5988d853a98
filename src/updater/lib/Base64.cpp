// Base64 text of BIRD files: the update server encodes them, the Updater decodes them.
#include "Base64.h"

#include <array>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;
constexpr uint8_t kPad = 0xFE;

constexpr std::array<uint8_t, 256> makeTable() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) {
        entry = kInvalid;
    }
    for (size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
    }
    table['='] = kPad;
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

} // namespace

bool base64Decode(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    const size_t length = text.size();
    if (length % 4 != 0) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    size_t padding = 0;
    if (text[length - 1] == '=') {
        padding = text[length - 2] == '=' ? 2 : 1;
    }
    out.resize(length / 4 * 3 - padding);

    // Every group but the last is free of padding; the last one may carry one or two "=".
    const auto* in = reinterpret_cast<const uint8_t*>(text.data());
    uint8_t* dst = out.data();
    const size_t fullGroups = length / 4 - 1;
    for (size_t g = 0; g < fullGroups; ++g, in += 4, dst += 3) {
        const uint8_t a = kTable[in[0]], b = kTable[in[1]], c = kTable[in[2]], d = kTable[in[3]];
        if ((a | b | c | d) & 0xC0) {
            out.clear();
            return false;
        }
        dst[0] = static_cast<uint8_t>(a << 2 | b >> 4);
        dst[1] = static_cast<uint8_t>(b << 4 | c >> 2);
        dst[2] = static_cast<uint8_t>(c << 6 | d);
    }

    uint8_t last[4];
    for (size_t i = 0; i < 4; ++i) {
        last[i] = kTable[in[i]];
        const bool padAllowed = i >= 4 - padding;
        if (last[i] == kInvalid || (last[i] == kPad) != padAllowed) {
            out.clear();
            return false;
        }
        if (last[i] == kPad) {
            last[i] = 0;
        }
    }
    const uint8_t tail[3] = {static_cast<uint8_t>(last[0] << 2 | last[1] >> 4),
                             static_cast<uint8_t>(last[1] << 4 | last[2] >> 2),
                             static_cast<uint8_t>(last[2] << 6 | last[3])};
    for (size_t i = 0; i < 3 - padding; ++i) {
        dst[i] = tail[i];
    }
    return true;
}

void base64Append(std::string& text, const uint8_t* data, size_t length) {
    // Written through a pointer into room made once: a 4 MiB build is encoded for every request
    // in the server's CGI mode, and a character-wise append costs several times this.
    const size_t start = text.size();
    text.resize(start + (length + 2) / 3 * 4);
    char* out = text.data() + start;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[v >> 12 & 0x3F];
        *out++ = kAlphabet[v >> 6 & 0x3F];
        *out++ = kAlphabet[v & 0x3F];
    }
    if (const size_t rest = length - i; rest > 0) {
        const uint32_t v = uint32_t{data[i]} << 16 | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[v >> 12 & 0x3F];
        *out++ = rest == 2 ? kAlphabet[v >> 6 & 0x3F] : '=';
        *out++ = '=';
    }
}

std::string base64Encode(const uint8_t* data, size_t length) {
    std::string text;
    base64Append(text, data, length);
    return text;
}
