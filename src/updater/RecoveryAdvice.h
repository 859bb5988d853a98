// What a failed update tells the user when the module may be left without firmware that runs:
// the state it is in and the exact command that recovers it through its boot ROM.
#pragma once

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

// "Updater -U -t RECOVER -s PORT -d SERIAL", followed by "-u URL" when serverUrl is not the
// default server's; PORT stands for an empty port. Words the shell would split or expand are
// quoted, so the text can be pasted as it is.
std::string recoveryCommand(uint32_t serial, const std::string& port, const std::string& serverUrl);

// Shows, as errors, the module's state, the recovery command and, when it names no port, how to
// find one. Returns the command.
std::string showRecoveryAdvice(UpdaterDisplayInterface& display, uint32_t serial, ModuleLeft state,
                               const std::string& port, const std::string& serverUrl);
