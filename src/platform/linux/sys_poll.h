// Waiting for a descriptor to become readable, shared by the Linux socket and serial backends.
#ifndef CORVANE_PLATFORM_LINUX_SYS_POLL_H
#define CORVANE_PLATFORM_LINUX_SYS_POLL_H

#include "corvane/aError.h"

#include <cstdint>

namespace corvane::platform {

// Waits at most timeoutMs (0: only looks) until fd has input, or an end or fault that a read
// will report. Signals do not cut the wait short. aErrNone when readable, aErrNotReady when
// the time ran out, aErrIO when the wait itself failed.
aErr waitReadable(int fd, uint32_t timeoutMs);

} // namespace corvane::platform

#endif
