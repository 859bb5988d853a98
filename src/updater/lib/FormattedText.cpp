// printf into a std::string, measured first so nothing is cut.
#include "FormattedText.h"

#include <cstdarg>
#include <cstdio>

std::string formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length));
        vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}
