// The command flows the driver runs. Each reports to the user through the context's display and
// returns its outcome; none ends the process, and only the driver chooses the exit status.
#pragma once

#include "BuildList.h"
#include "DiscoveredDevice.h"
#include "UpdaterContext.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Outcome of a command whose failure the driver does not always turn into a failing exit status.
enum class CommandStatus {
    Succeeded,   // the command ran and got its result
    Failed,      // the command ran and reported its failure to the user
    Unavailable, // the command is not part of this build; it said so, and the run fails
};

// -N: which chip to identify and how.
struct FingerprintRequest {
    std::string serialPort{};
    uint32_t serial = 0;        // the module's serial number; 0 takes the placeholder
    std::string birdFile{};     // i.MX: the liveloader image by path, else one from the store
    uint32_t baudRate = 115200; // NXP: the rate the chip is asked at
    bool resetAfter = false;    // i.MX: the liveloader is reset once the identifier is read
};
// Reads the chip identifier over the serial port. On Succeeded, words holds its four words. The
// driver prints them, or "Got no response from chip" on Failed.
CommandStatus fingerprintCommand(UpdaterContext& context, const FingerprintRequest& request,
                                 std::array<uint32_t, 4>& words);

// -G: one build of a module's firmware from the update server into the store.
struct GetRequest {
    uint32_t serial = 0;
    std::string build{};   // decimal text; empty for the server's latest
    bool override = false; // skips checking the build against the server's list
};
// Returns the build number fetched, 0 on failure.
uint32_t getBuildCommand(UpdaterContext& context, const GetRequest& request);

// -D: the modules reachable directly, or behind a router.
struct DiscoverRequest {
    uint32_t routerSerial = 0;             // 0: the modules reached directly
    int transport = 0;                     // 1 USB, 2 TCP/IP, 0 none given
    DiscoveryLimits limits{};              // how far it goes with hosts that answer without end
    DiscoveredDeviceList* found = nullptr; // when set, receives the modules the table shows
};
// Prints the search line, discovers the modules and prints the discovered-devices table.
CommandStatus discoverCommand(UpdaterContext& context, const DiscoverRequest& request);
// The modules reachable directly over transport (1 USB, 2 TCP/IP), each connected once and read.
// What the limits left out goes into leftOut, one line each, when given.
DiscoveredDeviceList discoverModules(UpdaterContext& context, int transport,
                                     const DiscoveryLimits& limits,
                                     std::vector<std::string>* leftOut = nullptr);

// -U: what to install into which module.
struct UpdateRequest {
    uint32_t serial = 0;       // the module; 0 is refused
    uint32_t build = 0;        // 0: chosen from the server's latest build and the store's records
    std::string birdFile{};    // an image by path, in place of a build from the store
    uint8_t moduleAddress = 0; // behind a router; 0 looks the address up by a network scan
    uint32_t routerSerial = 0; // 0: the module is reached directly
    bool override = false;     // skips the image's checks against the module
    std::string serialPort{};  // -s: the port the recovery advice names after a failed update
};
// Installs the image into the module over its link. True on success. When the update fails
// leaving the module in its loader or silent, context.failure.recoveryCommand receives the
// command that recovers it (shown to the user as well), else it is emptied.
bool updateCommand(UpdaterContext& context, const UpdateRequest& request);

// -U -t RECOVER: a module whose firmware no longer runs, through its boot loader.
struct RecoverRequest {
    std::string serialPort{};
    uint32_t build = 0; // 0: the build the update server names for the chip
    uint32_t baudRate = 115200;
    uint32_t serial = 0;    // as given; the update server's answer for the chip replaces it
    std::string birdFile{}; // an image by path, in place of a build from the store
    bool override = false;  // passed on; a recovery has no module to check the image against
};
// Recovers the module over the serial port. True on success.
bool recoverCommand(UpdaterContext& context, const RecoverRequest& request);

// -B: the builds the update server offers for the module, into out (possibly empty on Failed).
CommandStatus listBuildsCommand(UpdaterContext& context, uint32_t serial, BuildList& out);

// -L: the builds already in the store for the module, into out.
CommandStatus listLocalBuildsCommand(UpdaterContext& context, uint32_t serial, BuildList& out);

// -J: the signed token naming the module's software features, into token (empty on Failed).
CommandStatus getTokenCommand(UpdaterContext& context, uint32_t serial, std::string& token);
