// Text from outside (file names, BIRD fields, attribute values, tokens, request lines) made safe
// for a terminal or a log: no control byte reaches either.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// One character of text from outside: its bytes from the given offset (a whole UTF-8 sequence, or
// one byte when none starts there) and whether a terminal may act on it as a control: a byte
// below 0x20, DEL, a C1 control (0x80 to 0x9F) on its own or U+0080 to U+009F in UTF-8.
struct OutsideCharacter {
    size_t length;
    bool control;
};
OutsideCharacter outsideCharacterAt(std::string_view text, size_t at);

// text with every control character (as outsideCharacterAt tells them) and every backslash
// written as an escape ("\n", "\t", "\r", "\\", else "\xNN" for each byte); all other bytes,
// UTF-8 included, as they are.
std::string printableText(std::string_view text);
