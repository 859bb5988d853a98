// The object layer's debug trace (see ObjectTrace.h).
#include "ObjectTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace Corvane {

void objectTrace(const char* format, ...) {
    static const bool enabled = std::getenv("CORVANE_TRACE") != nullptr;
    if (!enabled)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

} // namespace Corvane
