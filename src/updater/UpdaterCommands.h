// The command flows the driver runs. Each reports to the user through the context's display and
// returns its outcome; none ends the process, and only the driver chooses the exit status.
#pragma once

#include "BuildList.h"
#include "UpdaterContext.h"

#include <array>
#include <cstdint>
#include <string>

// Outcome of a command whose failure the driver does not always turn into a failing exit status.
enum class CommandStatus {
    Succeeded,   // the command ran and got its result
    Failed,      // the command ran and reported its failure to the user
    Unavailable, // the command is not part of this build; it said so, and the run fails
};

// -N: reads the chip identifier over the serial port. On Succeeded, words holds its four words.
// The driver prints them, or "Got no response from chip" on Failed.
CommandStatus fingerprintCommand(UpdaterContext& context, const std::string& serialPort,
                                 uint32_t serial, const std::string& birdFile, uint32_t baudRate,
                                 bool resetAfter, std::array<uint32_t, 4>& words);

// -G: fetches a build (build text, empty for the latest) into the store. Returns the build number
// fetched, 0 on failure.
uint32_t getBuildCommand(UpdaterContext& context, uint32_t serial, const std::string& build,
                         bool override);

// -D: prints the search line, discovers the modules (behind routerSerial when it is not 0) over
// transport (1 USB, 2 TCP/IP, 0 none given) and prints the discovered-devices table.
CommandStatus discoverCommand(UpdaterContext& context, uint32_t routerSerial, int transport);

// -U: installs build (0 = choose) or birdFile into the module over its link. True on success.
bool updateCommand(UpdaterContext& context, uint32_t serial, uint32_t build,
                   const std::string& birdFile, uint8_t moduleAddress, uint32_t routerSerial,
                   bool override);

// -U -t RECOVER: recovers a module through its boot loader over the serial port. True on success.
bool recoverCommand(UpdaterContext& context, const std::string& serialPort, uint32_t build,
                    uint32_t baudRate, uint32_t serial, const std::string& birdFile, bool override);

// -B: the builds the update server offers for the module, into out (possibly empty on Failed).
CommandStatus listBuildsCommand(UpdaterContext& context, uint32_t serial, BuildList& out);

// -L: the builds already in the store for the module, into out.
CommandStatus listLocalBuildsCommand(UpdaterContext& context, uint32_t serial, BuildList& out);

// -J: the signed token naming the module's software features, into token (empty on Failed).
CommandStatus getTokenCommand(UpdaterContext& context, uint32_t serial, std::string& token);
