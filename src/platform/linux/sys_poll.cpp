// Linux backend of the readable wait: poll(2) against a monotonic deadline.
#include "sys_poll.h"

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>

namespace corvane::platform {

aErr waitReadable(int fd, uint32_t timeoutMs) {
    const uint64_t deadline = monotonicMilliseconds() + timeoutMs;
    for (;;) {
        const uint64_t now = monotonicMilliseconds();
        const uint64_t left = deadline > now ? deadline - now : 0;
        // poll takes an int; longer waits go round again.
        const int slice = static_cast<int>(std::min<uint64_t>(left, INT_MAX));
        pollfd pfd{fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, slice);
        if (rc > 0) {
            // POLLHUP, POLLERR and POLLNVAL count too: the read is what reports them.
            return aErrNone;
        }
        if (rc == 0) {
            if (left <= static_cast<uint64_t>(INT_MAX)) {
                return aErrNotReady;
            }
            continue;
        }
        if (errno != EINTR) {
            return aErrIO;
        }
        if (left == 0) {
            return aErrNotReady;
        }
    }
}

aErr waitAnyReadable(const int* fds, bool* ready, size_t count, uint32_t timeoutMs) {
    constexpr size_t kMost = 8;
    if (count > kMost)
        return aErrParam;
    pollfd pfds[kMost];
    for (size_t i = 0; i < count; ++i)
        pfds[i] = pollfd{fds[i], POLLIN, 0};
    const int slice = static_cast<int>(std::min<uint32_t>(timeoutMs, INT_MAX));
    const int rc = ::poll(pfds, count, slice);
    for (size_t i = 0; i < count; ++i)
        ready[i] = rc > 0 && pfds[i].revents != 0;
    if (rc > 0)
        return aErrNone;
    return rc == 0 || errno == EINTR ? aErrNotReady : aErrIO;
}

} // namespace corvane::platform
