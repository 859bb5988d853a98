// Linux backend of the millisecond clock and sleep: CLOCK_MONOTONIC and nanosleep.
#include "platform/platform.h"

#include <cerrno>
#include <ctime>

namespace corvane::platform {

uint64_t monotonicMilliseconds() {
    timespec now{};
    // CLOCK_MONOTONIC cannot fail on any kernel we run on; a zeroed value is the safe fallback.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void sleepMilliseconds(uint32_t ms) {
    if (ms == 0)
        return;
    timespec remaining{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

} // namespace corvane::platform
