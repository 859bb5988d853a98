// The run's side of interrupts: the registry of work in flight, the two notices and the exit at
// the second interrupt. The platform layer delivers the interrupts on a thread of their own, so
// everything here runs as ordinary code, never inside a signal handler.
#include "Interruption.h"

#include "os/interrupts.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace interruption {

struct Registry {
    std::mutex mutex; // the work list and the notices; never held while waiting on anything
    std::vector<CriticalWork*> work;
    FILE* notices = stderr;
    std::atomic<bool> requested{false};
    std::atomic<int> exitStatus{0};
    std::atomic<const char*> name{nullptr};

    void interrupted(const corvane::platform::Interrupt& interrupt);
    void secondInterrupt(int status);
};

namespace {

Registry& registry() {
    static Registry instance;
    return instance;
}

// "A", "A and B", "A, B and C".
std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

} // namespace

std::string firstNotice(const std::vector<std::string>& modules,
                        const std::vector<std::string>& ports) {
    std::string what;
    if (modules.size() == 1)
        what = "finishing the firmware transfer of " + modules.front() +
               " so it is not left in its loader";
    else if (!modules.empty())
        what = "finishing the firmware transfers of " + listed(modules) +
               " so they are not left in their loaders";
    if (!ports.empty()) {
        if (!what.empty())
            what += ", and ";
        what += "finishing the boot ROM command in flight on " + listed(ports) +
                " so the chip stays in command mode";
    }
    if (what.empty())
        what = "starting nothing new";
    return "Interrupted: " + what + "; interrupt again to stop now";
}

void Registry::interrupted(const corvane::platform::Interrupt& interrupt) {
    std::unique_lock<std::mutex> lock(mutex);
    if (requested.exchange(true)) {
        lock.unlock();
        secondInterrupt(interrupt.exitStatus);
        return;
    }
    exitStatus = interrupt.exitStatus;
    name = interrupt.name;
    std::vector<std::string> modules, ports;
    for (const CriticalWork* w : work)
        (w->kind_ == CriticalWork::Kind::ModuleTransfer ? modules : ports).push_back(w->subject_);
    fprintf(notices, "%s\n", firstNotice(modules, ports).c_str());
    fflush(notices);
}

void Registry::secondInterrupt(int status) {
    // A flow holds the lock only for a moment, never while it waits: taking it here cannot hang.
    std::lock_guard<std::mutex> lock(mutex);
    fprintf(notices, "Interrupted again: stopping now\n");
    for (const CriticalWork* w : work) {
        if (!w->state_.empty())
            fprintf(notices, "%s\n", w->state_.c_str());
        for (const std::string& line : w->advice_)
            fprintf(notices, "%s\n", line.c_str());
    }
    fflush(notices);
    std::_Exit(status);
}

bool watch(FILE* notices) {
    registry().notices = notices;
    return corvane::platform::watchInterrupts(
        [](const corvane::platform::Interrupt& interrupt) { registry().interrupted(interrupt); });
}

bool requested() {
    return registry().requested.load();
}

int exitStatus() {
    return registry().exitStatus.load();
}

const char* signalName() {
    return registry().name.load();
}

CriticalWork::CriticalWork(Kind kind, std::string subject)
    : kind_(kind), subject_(std::move(subject)) {}

CriticalWork::~CriticalWork() {
    if (!begun_)
        return;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.work.erase(std::remove(r.work.begin(), r.work.end(), this), r.work.end());
}

bool CriticalWork::begin() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (begun_)
        return true;
    if (r.requested.load())
        return false;
    r.work.push_back(this);
    begun_ = true;
    return true;
}

void CriticalWork::leaves(std::string state, std::vector<std::string> advice) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    state_ = std::move(state);
    advice_ = std::move(advice);
}

} // namespace interruption
