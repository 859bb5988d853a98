// The updater's masked trace: one process-wide mask and sink shared by every thread.
#include "Debug.h"

#include <atomic>
#include <cstdarg>

namespace {
std::atomic<uint32_t> g_mask{0};
std::atomic<FILE*> g_sink{nullptr};
constexpr size_t kDebugBufferSize = 2048;
} // namespace

int Debug_Print(uint32_t mask, const char* format, ...) {
    FILE* sink = g_sink.load();
    if (sink == nullptr || (mask != 0 && (mask & g_mask.load()) == 0)) {
        return static_cast<int>(mask);
    }
    char buffer[kDebugBufferSize];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) {
        return 0;
    }
    size_t length =
        static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    return static_cast<int>(fwrite(buffer, 1, length, sink));
}

void Debug_SetSink(FILE* stream) {
    g_sink.store(stream);
}

void Debug_AddMask(uint32_t bits) {
    g_mask.fetch_or(bits);
}

uint32_t Debug_GetMask() {
    return g_mask.load();
}
