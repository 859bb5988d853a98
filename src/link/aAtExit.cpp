// The library's exit work: stopping the links, then running the hooks of what still holds
// sockets, from one std::atexit handler registered after CZMQ's.
#include "aAtExit.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

namespace corvane {

namespace {

struct ExitHooks {
    std::mutex lock;
    std::map<void*, std::function<void()>> hooks; // guarded by lock
    std::atomic<void (*)()> stopLinks{nullptr};
};

// Never destroyed: it is read at exit.
ExitHooks& exitHooks() {
    static ExitHooks* hooks = new ExitHooks;
    return *hooks;
}

void endAllAtExit() {
    ExitHooks& h = exitHooks();
    if (void (*stop)() = h.stopLinks.load())
        stop();
    std::map<void*, std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> lock(h.lock);
        hooks.swap(h.hooks);
    }
    for (auto& [owner, end] : hooks)
        end();
}

} // namespace

void atExitStopLinksWith(void (*stopLinks)()) {
    exitHooks().stopLinks = stopLinks;
}

void atExitRegister(void* owner, std::function<void()> end) {
    ExitHooks& h = exitHooks();
    std::lock_guard<std::mutex> lock(h.lock);
    h.hooks[owner] = std::move(end);
}

void atExitCancel(void* owner) {
    ExitHooks& h = exitHooks();
    std::lock_guard<std::mutex> lock(h.lock);
    h.hooks.erase(owner);
}

void atExitArm() {
    std::atexit(endAllAtExit);
}

} // namespace corvane
