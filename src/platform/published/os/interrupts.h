// Interrupts of the process (Ctrl-C, a request to end, a closed terminal) handed to the program
// on a thread of its own instead of ending it, and writes to a closed pipe made plain errors: a
// program in the middle of writing firmware decides itself when it may stop.
#ifndef CORVANE_OS_INTERRUPTS_H
#define CORVANE_OS_INTERRUPTS_H

#include <functional>

namespace corvane::platform {

struct Interrupt {
    int number;       // the signal's number on this system
    const char* name; // "SIGINT", "SIGTERM" or "SIGHUP"
    int exitStatus;   // what a shell reports for a program it ended: 128 + number
};

// From now on every interrupt calls handler on the watcher thread, one at a time, and a write to
// a pipe nobody reads fails with an error instead of ending the process. Call it before the
// process starts any thread: the interrupts are held back in the calling thread, and every
// thread started later inherits that, so only the watcher ever takes them. Once only; false when
// the watcher cannot be started (the process then keeps the system's default handling).
bool watchInterrupts(std::function<void(const Interrupt&)> handler);

} // namespace corvane::platform

#endif
