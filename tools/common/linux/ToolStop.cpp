// Linux backend of the tools' stop requests: the signals blocked in every thread, taken by sigwait.
#include "ToolStop.h"

#include <pthread.h>
#include <signal.h>

#include <cstring>

namespace Corvane::Tools::os {

namespace {

sigset_t stopSignals(bool hangUpStops) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (hangUpStops)
        sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

StopRequests::StopRequests(bool hangUpStops) : hangUpStops_(hangUpStops) {
    const sigset_t set = stopSignals(hangUpStops_);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string StopRequests::wait() {
    const sigset_t set = stopSignals(hangUpStops_);
    int signal = 0;
    sigwait(&set, &signal);
    return strsignal(signal);
}

} // namespace Corvane::Tools::os
