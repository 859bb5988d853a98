// Linux backend of the readable waits (poll(2) against a monotonic deadline), of the wake-ups
// that end them early (an eventfd counter) and of the watch sets (an epoll instance, whose
// members another thread can change while one waits on it).
#include "sys_poll.h"

#include "platform/hot_path.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace corvane::platform {

aErr waitReadable(int fd, uint32_t timeoutMs) {
    // The clock is read again only when a wait ends early: the first wait is the whole time.
    const uint64_t deadline = monotonicMilliseconds() + timeoutMs;
    uint64_t left = timeoutMs;
    for (;;) {
        // poll takes an int; longer waits go round again.
        const int slice = static_cast<int>(std::min<uint64_t>(left, INT_MAX));
        pollfd pfd{fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, slice);
        if (rc > 0) {
            // POLLHUP, POLLERR and POLLNVAL count too: the read is what reports them.
            return aErrNone;
        }
        if (rc < 0 && errno != EINTR) {
            return aErrIO;
        }
        if (rc == 0 && left <= static_cast<uint64_t>(slice)) {
            return aErrNotReady; // the whole time has been waited
        }
        // A slice of a longer wait, or a wait a signal interrupted: what is left of the time.
        const uint64_t now = monotonicMilliseconds();
        left = deadline > now ? deadline - now : 0;
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

aErr awaitReadableOrWake(int fd, WakeHandle wake, uint32_t timeoutMs) {
    const int fds[2] = {fd, wake};
    bool ready[2] = {false, false};
    const aErr waited = waitAnyReadable(fds, ready, 2, timeoutMs);
    if (waited != aErrNone)
        return waited;
    return ready[1] ? aErrCancel : aErrNone;
}

aErr makeWake(WakeHandle& out) {
    // Non-blocking, so that clearing one nobody raised returns at once.
    out = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return out >= 0 ? aErrNone : aErrResource;
}

void raiseWake(WakeHandle wake) {
    if (wake == noWake)
        return;
    const uint64_t one = 1;
    // Fails only when the counter is about to overflow, and then it is raised already.
    while (::write(wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void clearWake(WakeHandle wake) {
    if (wake == noWake)
        return;
    uint64_t count = 0;
    // One read takes the whole count back to zero.
    while (::read(wake, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void closeWake(WakeHandle wake) {
    if (wake != noWake)
        ::close(wake);
}

aErr makeWatchSet(WatchSet& out) {
    out = ::epoll_create1(EPOLL_CLOEXEC);
    return out >= 0 ? aErrNone : aErrResource;
}

namespace {

CORVANE_HOT_PATH aErr controlWatch(WatchSet set, int operation, int fd, bool muted) {
    // A muted member asks for no events. Its hang-ups and errors, which epoll always reports,
    // still end a wait, as they should: the watcher's read is what reports them. (A peer's
    // orderly close is input: it waits for the unmute, or for the muting reader to meet it.)
    epoll_event event{};
    event.events = muted ? 0u : static_cast<uint32_t>(EPOLLIN);
    event.data.fd = fd;
    if (::epoll_ctl(set, operation, fd, &event) == 0)
        return aErrNone;
    return aErrIO;
}

} // namespace

aErr addToWatchSet(WatchSet set, int fd, bool muted) {
    if (controlWatch(set, EPOLL_CTL_ADD, fd, muted) == aErrNone || errno == EEXIST)
        return aErrNone;
    return aErrIO;
}

CORVANE_HOT_PATH aErr muteInWatchSet(WatchSet set, int fd, bool muted) {
    return controlWatch(set, EPOLL_CTL_MOD, fd, muted);
}

void removeFromWatchSet(WatchSet set, int fd) {
    if (set != noWatchSet && fd >= 0)
        ::epoll_ctl(set, EPOLL_CTL_DEL, fd, nullptr);
}

aErr awaitWatchSet(WatchSet set, const int* fds, bool* ready, size_t count, uint32_t timeoutMs) {
    constexpr int kMost = 8;
    epoll_event events[kMost];
    const int slice = static_cast<int>(std::min<uint32_t>(timeoutMs, INT_MAX));
    const int rc = ::epoll_wait(set, events, kMost, slice);
    for (size_t i = 0; i < count; ++i) {
        ready[i] = false;
        for (int e = 0; e < rc; ++e)
            ready[i] = ready[i] || events[e].data.fd == fds[i];
    }
    if (rc > 0)
        return aErrNone;
    return rc == 0 || errno == EINTR ? aErrNotReady : aErrIO;
}

void closeWatchSet(WatchSet set) {
    if (set != noWatchSet)
        ::close(set);
}

} // namespace corvane::platform
