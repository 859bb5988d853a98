// Linux backend of the interrupt watcher: the signals are blocked in every thread and one
// thread takes them with sigwait, so no handler ever runs in the middle of other code.
#include "os/interrupts.h"

#include <csignal>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace corvane::platform {

namespace {

struct Watched {
    int number;
    const char* name;
};
constexpr Watched kWatched[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

} // namespace

bool watchInterrupts(std::function<void(const Interrupt&)> handler) {
    sigset_t set;
    sigemptyset(&set);
    for (const Watched& w : kWatched)
        sigaddset(&set, w.number);
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0)
        return false;
    try {
        std::thread([set, handler = std::move(handler)] {
            for (;;) {
                int number = 0;
                if (sigwait(&set, &number) != 0)
                    continue;
                for (const Watched& w : kWatched)
                    if (w.number == number)
                        handler({number, w.name, 128 + number});
            }
        }).detach();
    } catch (const std::system_error&) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return false;
    }
    // Only once the interrupts have a taker: a closed pipe on standard output is then an error
    // that the writer sees, not the end of the run.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace corvane::platform
