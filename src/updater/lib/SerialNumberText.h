// A serial number as it appears in messages, directory and file names and queries: eight
// upper-case hexadecimal digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string serialNumberText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}
