// Faults of the virtual module's request/reply model, switched on to see how a host copes with
// error replies, corrupted acknowledgements, runs out of sequence and replies that never come.
#pragma once

#include <cstdint>
#include <functional>

namespace Corvane::Tools {

// Names a UEI (or, for the module's non-UEI commands, a command) by command and option code;
// option kAnyOption matches every option of the command.
struct UeiName {
    static constexpr uint8_t kAnyOption = 0xFF;
    bool enabled = false;
    uint8_t command = 0;
    uint8_t option = kAnyOption;

    bool matches(uint8_t cmd, uint8_t opt) const {
        return enabled && cmd == command && (option == kAnyOption || option == opt);
    }
};

struct ModelFaults {
    UeiName errorUei;                // answer every request to this UEI with an error reply
    uint8_t errorCode = 29;          // the code of that error reply (default aErrInvalidOption)
    UeiName silentUei;               // never answer requests to this UEI or command
    uint32_t badSlotChecksum = 0;    // the Nth store slot write reply from now carries a wrong
                                     // checksum (1 the next one); once, 0 never
    bool bytesOutOfSequence = false; // the next UEIBytes reply sends its second packet with a
                                     // wrong sequence number; once
    UeiName endlessBytes;            // answer gets of this byte array with a run that never
                                     // ends: one packet every endlessIntervalMs, each saying
                                     // more follows (a module reached directly; until the host
                                     // asks something else of it or leaves)
    uint32_t endlessIntervalMs = 500;
};

// Misbehaviour of the upgrade protocol; the one-shot faults clear themselves once used.
struct UpgradeFaults {
    bool wrongSumOnce = false;    // the next SUM reply is one too high
    bool zeroCountOnce = false;   // the next DATA packet is answered with count 0, not taken
    bool zeroCountAlways = false; // every DATA packet is answered with count 0
    uint32_t dropInData = 0;      // reset the connection at the Nth data packet from now (DATA, or
                                  // one of a byte array on option 10), once
    bool loadAfterReconnect = false; // LOAD goes unanswered until the host connects again
    bool refusePrepare = false;      // every PREPARE is answered with status 1
    bool zeroChunk = false;          // PREPARE announces a chunk size of 0
    bool rebootKeepsLink = false;    // REBOOT restarts nothing and keeps the link
    bool refuseWrite = false;        // every WRITE is answered with status 1, nothing committed
    // What a restart after REBOOT can go through. The first two act on the module's own link,
    // so a module behind a router cannot have them.
    uint32_t rebootDropMs = 0;        // the module stays on its link, silent, this long first
    bool goneAfterReboot = false;     // the module never comes back: no connection is accepted
    uint32_t rebootSerial = 0;        // the module comes back reporting this serial number
    bool rebootKeepsFirmware = false; // the module comes back running its old firmware
    // For programs that run the module in-process: called once, before the first DATA packet of
    // the firmware phase is answered (the module waits for it to return), so that the caller can
    // act while a transfer is surely under way.
    std::function<void()> beforeFirmwareData;
};

} // namespace Corvane::Tools
