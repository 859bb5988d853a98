// Windows backend of the interrupt watcher: a console control handler hands Ctrl-C, Ctrl-Break
// and a closed console window to one watcher thread, so the handler runs one at a time as on
// Linux. Each ends the process, when the program lets it, with STATUS_CONTROL_C_EXIT, the
// status Windows gives a console program that Ctrl-C ended.
#include "os/interrupts.h"
#include "win_common.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace corvane::platform {

namespace {

constexpr int kControlCExit = static_cast<int>(0xC000013Au);

struct Watched {
    DWORD event;
    const char* name;
};
constexpr Watched kWatched[] = {{CTRL_C_EVENT, "CTRL_C_EVENT"},
                                {CTRL_BREAK_EVENT, "CTRL_BREAK_EVENT"},
                                {CTRL_CLOSE_EVENT, "CTRL_CLOSE_EVENT"}};

struct Watcher {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<const Watched*> pending; // guarded by lock
    std::function<void(const Interrupt&)> handler;
};

Watcher* gWatcher = nullptr; // set once, before the control handler is installed

BOOL WINAPI onControl(DWORD event) {
    for (const Watched& w : kWatched) {
        if (w.event != event)
            continue;
        {
            std::lock_guard guard(gWatcher->lock);
            gWatcher->pending.push_back(&w);
        }
        gWatcher->arrived.notify_one();
        // A closed console window ends the process once this returns: give the program the
        // system's grace period to finish what it must, as it decides on its watcher thread.
        if (event == CTRL_CLOSE_EVENT)
            Sleep(INFINITE);
        return TRUE;
    }
    return FALSE; // logoff and shutdown keep the system's default
}

} // namespace

bool watchInterrupts(std::function<void(const Interrupt&)> handler) {
    if (gWatcher != nullptr)
        return false;
    auto* watcher = new Watcher;
    watcher->handler = std::move(handler);
    try {
        std::thread([watcher] {
            for (;;) {
                const Watched* w = nullptr;
                {
                    std::unique_lock guard(watcher->lock);
                    watcher->arrived.wait(guard, [&] { return !watcher->pending.empty(); });
                    w = watcher->pending.front();
                    watcher->pending.pop_front();
                }
                watcher->handler({static_cast<int>(w->event), w->name, kControlCExit});
            }
        }).detach();
    } catch (const std::system_error&) {
        delete watcher;
        return false;
    }
    gWatcher = watcher;
    // Writes to a closed pipe already fail with an error on Windows; nothing to ignore.
    return SetConsoleCtrlHandler(onControl, TRUE) != 0;
}

} // namespace corvane::platform
