// The library's millisecond clock (32-bit, wrapping) and sleep.
#include "corvane/aTime.h"

#include "platform/platform.h"

uint32_t aTime_GetMSTicks(void) {
    // Truncation is the contract: callers compare ticks by unsigned difference.
    return static_cast<uint32_t>(corvane::platform::monotonicMilliseconds());
}

aErr aTime_MSSleep(uint32_t ms) {
    corvane::platform::sleepMilliseconds(ms);
    return aErrNone;
}
