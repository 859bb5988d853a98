// The library's debug trace switch and writer.
#include "aDebugTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane {

bool debugTraceEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("CORVANE_DEBUG");
        return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
    }();
    return enabled;
}

void debugTrace(const char* format, ...) {
    if (!debugTraceEnabled())
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

} // namespace corvane
