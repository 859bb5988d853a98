// Windows backend of the millisecond clock and sleep: the performance counter and Sleep.
#include "platform/platform.h"
#include "win_common.h"

namespace corvane::platform {

uint64_t monotonicMilliseconds() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    // In two steps, so the product never overflows.
    return ticks / frequency * 1000u + ticks % frequency * 1000u / frequency;
}

void sleepMilliseconds(uint32_t ms) {
    if (ms == 0)
        return;
    // Sleep may wake a little early on a coarse timer; a caller was promised at least ms.
    const uint64_t until = monotonicMilliseconds() + ms;
    for (uint64_t now = monotonicMilliseconds(); now < until; now = monotonicMilliseconds())
        Sleep(static_cast<DWORD>(until - now));
}

} // namespace corvane::platform
