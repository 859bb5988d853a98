// Quoting of words for a shell.
#include "ShellWord.h"

#include "PrintableText.h"

#include <string_view>

namespace {

constexpr std::string_view kPlainBytes = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789_./:=@%+,-";

bool holdsControl(std::string_view word) {
    for (size_t at = 0; at < word.size();) {
        const OutsideCharacter character = outsideCharacterAt(word, at);
        if (character.control)
            return true;
        at += character.length;
    }
    return false;
}

// Inside single quotes every byte is itself; a quote ends them, so it is written outside.
std::string singleQuoted(std::string_view word) {
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
    return quoted + "'";
}

// A raw newline would split the line, and a raw ESC or C1 byte is the terminal's to act on.
std::string ansiQuoted(std::string_view word) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string quoted = "$'";
    for (size_t at = 0; at < word.size();) {
        const OutsideCharacter character = outsideCharacterAt(word, at);
        const std::string_view bytes = word.substr(at, character.length);
        at += character.length;
        if (!character.control) {
            if (bytes == "\\" || bytes == "'")
                quoted += '\\';
            quoted += bytes;
            continue;
        }
        for (const char c : bytes) {
            switch (c) {
            case '\n': quoted += "\\n"; continue;
            case '\t': quoted += "\\t"; continue;
            case '\r': quoted += "\\r"; continue;
            case '\x1b': quoted += "\\e"; continue;
            default: break;
            }
            const auto byte = static_cast<unsigned char>(c);
            quoted += "\\x";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0x0F];
        }
    }
    return quoted + "'";
}

} // namespace

std::string shellWord(const std::string& word) {
    if (!word.empty() && word.find_first_not_of(kPlainBytes) == std::string::npos)
        return word;
    return holdsControl(word) ? ansiQuoted(word) : singleQuoted(word);
}
