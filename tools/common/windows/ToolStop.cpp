// Windows backend of the tools' stop requests: a console control handler that hands the event to
// the waiting thread. Wine raises Ctrl-C for a SIGINT sent to the program.
#include "ToolStop.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>

namespace Corvane::Tools::os {

namespace {

std::mutex gLock;
std::condition_variable gArrived;
const char* gRequest = nullptr; // guarded by gLock

BOOL WINAPI onControl(DWORD event) {
    const char* name = event == CTRL_C_EVENT       ? "Interrupt"
                       : event == CTRL_BREAK_EVENT ? "Break"
                       : event == CTRL_CLOSE_EVENT ? "Console closed"
                                                   : nullptr;
    if (name == nullptr)
        return FALSE; // logoff and shutdown keep the system's default
    {
        std::lock_guard guard(gLock);
        if (gRequest == nullptr)
            gRequest = name;
    }
    gArrived.notify_all();
    // A closed console ends the process once this returns: the tool's own stop goes first.
    if (event == CTRL_CLOSE_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

StopRequests::StopRequests(bool hangUpStops) : hangUpStops_(hangUpStops) {
    SetConsoleCtrlHandler(onControl, TRUE);
}

std::string StopRequests::wait() {
    std::unique_lock guard(gLock);
    gArrived.wait(guard, [] { return gRequest != nullptr; });
    return gRequest;
}

} // namespace Corvane::Tools::os
