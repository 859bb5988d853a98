// What a failed update tells the user when the module may be left without firmware that runs:
// the state it is in and the exact command that recovers it through its boot ROM.
#pragma once

#include "UpdaterContext.h"
#include "UpdaterDisplayInterface.h"

#include <cstdint>
#include <string>

enum class ModuleLeft {
    InLoader,     // it still answers, but only as its loader
    Silent,       // it does not answer at all
    NotRestarted, // it has the whole image but was not seen restarting into it
};

// The serial port a recovery command can name: given when not empty, else the only USB serial
// port (ttyUSB*, ttyACM*) in deviceDirectory, else an empty text.
std::string recoveryPort(const std::string& given, const std::string& deviceDirectory);

// "Updater -U -t RECOVER -s PORT -d SERIAL", followed by "-i STORE" when the run named its store
// and "-u URL" when its server is not the default one; PORT stands for an empty port. Words the
// shell would split or expand are quoted, so the text can be pasted as it is.
// With birdFile or build, the command names that image (-f, -b) as the recovery it repeats did.
std::string recoveryCommand(uint32_t serial, const std::string& port, const RunSettings& run,
                            const std::string& birdFile = {}, uint32_t build = 0);

// "Updater -U -d SERIAL" with the image (-f FILE, else -b BUILD when build is not 0), the router
// (-r) and the run's store and server as recoveryCommand names them: the update again.
std::string updateCommandLine(uint32_t serial, const std::string& birdFile, uint32_t build,
                              uint32_t routerSerial, const RunSettings& run);

// The state line of a module left in state.
std::string moduleLeftLine(uint32_t serial, ModuleLeft state);

// Shows, as errors, the module's state, the recovery command and, when it names no port, how to
// find one. Returns the command.
std::string showRecoveryAdvice(UpdaterDisplayInterface& display, uint32_t serial, ModuleLeft state,
                               const std::string& port, const RunSettings& run);
