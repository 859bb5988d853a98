// The formatted print shared by every flow.
#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void displayPrint(UpdaterDisplayInterface& display, int level, const char* format, ...) {
    if (display.isQuiet()) {
        return;
    }
    char buffer[kDisplayBufferSize];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) {
        buffer[0] = '\0';
    }
    if (level == DISPLAY_ERROR) {
        display.error(buffer);
    } else {
        display.message(buffer);
    }
}
