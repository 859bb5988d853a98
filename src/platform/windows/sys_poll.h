// Waiting on sockets, shared by the Windows socket, UDP and wake-up backends: select(), which
// on Windows takes sockets alone.
#ifndef CORVANE_PLATFORM_WINDOWS_SYS_POLL_H
#define CORVANE_PLATFORM_WINDOWS_SYS_POLL_H

#include "corvane/aError.h"

#include <cstdint>

namespace corvane::platform {

// Waits at most timeoutMs (0: only looks) until the socket has input, or an end or fault that a
// receive will report. aErrNone when readable, aErrNotReady when the time ran out, aErrIO when
// the wait itself failed.
aErr waitReadable(int socket, uint32_t timeoutMs);

} // namespace corvane::platform

#endif
