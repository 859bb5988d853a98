// How a run meets an interrupt (Ctrl-C, a request to end, a closed terminal). The first one asks
// it to finish what is in flight and start nothing new: a module whose loader has started
// completes its transfer and reboot, a boot ROM command completes, so nothing is left
// half-written. The second ends the process at once, after naming what it leaves and the command
// that finishes the job.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace interruption {

// Starts watching the process's interrupts; their notices go to notices. Call it before the run
// starts any thread. False when they cannot be watched: they then end the process as usual.
bool watch(FILE* notices);

// True once the first interrupt came: start nothing new.
bool requested();
// 128 + the interrupt's signal number once one came (130 for SIGINT), else 0.
int exitStatus();
// "SIGINT", "SIGTERM" or "SIGHUP" once one came, else null.
const char* signalName();

// Work that must not be cut off once it has begun: a module's firmware transfer once its loader
// starts, a command to a chip's boot ROM. Registered from begin() until it is destroyed.
class CriticalWork {
  public:
    enum class Kind {
        ModuleTransfer, // subject: the module's serial number as "%08X"
        ChipCommand,    // subject: the serial port of the chip
    };
    CriticalWork(Kind kind, std::string subject);
    ~CriticalWork();
    CriticalWork(const CriticalWork&) = delete;
    CriticalWork& operator=(const CriticalWork&) = delete;

    // Begins the work unless an interrupt came already; then false, and nothing may be begun.
    bool begin();
    bool begun() const { return begun_; }
    // What a second interrupt says of this work: the state it leaves the module or chip in, then
    // lines of advice (commands indented by two spaces), each printed as it stands.
    void leaves(std::string state, std::vector<std::string> advice);

  private:
    friend struct Registry;
    Kind kind_;
    std::string subject_;
    std::string state_;
    std::vector<std::string> advice_;
    bool begun_ = false;
};

// The first interrupt's notice for the work in flight, e.g. "Interrupted: finishing the firmware
// transfer of 40F5849A so it is not left in its loader; interrupt again to stop now".
std::string firstNotice(const std::vector<std::string>& modules,
                        const std::vector<std::string>& ports);

} // namespace interruption
