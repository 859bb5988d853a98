// The library's work at process exit, in its order: the links' threads stop, then the sharing
// servers and client streams close their sockets, all before CZMQ ends its context.
#pragma once

#include <functional>

namespace corvane {

// Names what stops every link's threads at exit (they use the sockets the hooks close). The
// link registry names it as it makes its first link.
void atExitStopLinksWith(void (*stopLinks)());

// Runs end at exit, after the links' threads have stopped, before CZMQ ends its context (which
// would pull the sockets from under running tasks). For servers and client streams still alive
// then; atExitCancel(owner) when they end first.
void atExitRegister(void* owner, std::function<void()> end);
void atExitCancel(void* owner);

// Has the exit work run before every std::atexit handler registered until now, CZMQ's own end
// among them: called once CZMQ is started.
void atExitArm();

} // namespace corvane
