// Text from outside (file names, BIRD fields, attribute values, tokens, request lines) made safe
// for a terminal or a log: no control byte reaches either.
#pragma once

#include <string>
#include <string_view>

// text with every control byte (below 0x20, and 0x7F) and every backslash written as an escape
// ("\n", "\t", "\r", "\\", else "\xNN"); all other bytes, UTF-8 included, as they are.
std::string printableText(std::string_view text);
