// printf into a std::string: the one way the updater builds a text from a format.
#pragma once

#include <string>

// The whole formatted text: no fixed buffer cuts it short.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
