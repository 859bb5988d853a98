// The operating-system procedures the link library needs; one backend per OS lives in
// platform/<os>/. Nothing above this header sees errno or a system handle type's meaning. The
// file procedures, which the updater library shares, are in os/files.h.
#ifndef CORVANE_PLATFORM_H
#define CORVANE_PLATFORM_H

#include "corvane/aError.h"
#include "os/files.h"

#include <cstddef>
#include <cstdint>

namespace corvane::platform {

// ---- Clock ---------------------------------------------------------------------------------

// Milliseconds of a monotonic clock with an arbitrary origin; never goes backwards.
uint64_t monotonicMilliseconds();
// Sleeps at least ms milliseconds, resuming after signals; 0 returns at once.
void sleepMilliseconds(uint32_t ms);

// Waits at most timeoutMs in one system call until one of count descriptors has input, and
// sets ready[i] for each that has. aErrNone then, aErrNotReady when the time ran out (or a
// signal came), aErrIO when the wait failed.
aErr waitAnyReadable(const int* fds, bool* ready, size_t count, uint32_t timeoutMs);

// ---- Errors --------------------------------------------------------------------------------

// The one translation of a system error number into the library's codes.
aErr errorFromSystem(int systemError);
// True when a call that failed with systemError only has to be made again: it would have
// blocked, or a signal interrupted it. (ZeroMQ reports its failures with these numbers too.)
bool isRetryableError(int systemError);

} // namespace corvane::platform

#endif
