// Escaping of control characters in text from outside.
#include "PrintableText.h"

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at text[at], or 0 when none starts there
// (overlong forms, surrogates and code points beyond U+10FFFF are not well-formed).
size_t utf8Length(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (!isContinuation(byte(i)))
            return 0;
    return length;
}

} // namespace

OutsideCharacter outsideCharacterAt(std::string_view text, size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80)
        return {1, byte < 0x20 || byte == 0x7F};
    if (const size_t length = utf8Length(text, at); length != 0) {
        // U+0080 to U+009F: C2 80 to C2 9F.
        const bool c1 = byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
        return {length, c1};
    }
    return {1, byte <= 0x9F};
}

std::string printableText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const OutsideCharacter character = outsideCharacterAt(text, at);
        const std::string_view bytes = text.substr(at, character.length);
        at += character.length;
        if (!character.control) {
            if (bytes == "\\")
                out += "\\\\";
            else
                out += bytes;
            continue;
        }
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            switch (c) {
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            default: break;
            }
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}
