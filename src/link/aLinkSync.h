// The reader's synchronisation with its module as a pure state machine: each received byte or
// empty read, with the time it happened, gives the next state and what the reader must do.
#pragma once

#include <chrono>
#include <cstdint>

namespace corvane::link {

enum SyncState : uint8_t {
    kInStep = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

struct SyncProgress {
    uint8_t state = kInStep; // a fresh link is taken to be in step
    uint8_t address = 0;     // seen in the first answer byte
    std::chrono::steady_clock::time_point lastRequest{};
};

struct SyncPace {
    // Requests go out again after this much silence while synchronising. A stream that answers
    // at once when idle would otherwise resend them at every empty read.
    std::chrono::milliseconds resend{200};
    // Bytes that break synchronisation send requests again no more often than this. Without a
    // pace, a noisy line feeds itself: each request draws answers, each bad byte six requests.
    std::chrono::milliseconds respace{50};
};

enum class SyncAction : uint8_t {
    None,         // nothing to do
    Restarted,    // synchronising anew, waiting for answers to requests already sent
    SendRequests, // synchronising anew: send the six requests (back to the start on failure)
    InStep,       // the module answered: the link runs in step
};

// Starts synchronisation over at now. The requests are due unless the last ones left less than
// spacing ago; their answers may still be on the way, so the machine waits for them instead.
SyncAction syncRestart(SyncProgress& sync, std::chrono::steady_clock::time_point now,
                       std::chrono::milliseconds spacing);

// A byte received while synchronising. In step after the module's address, 0, the same
// address, 0 (two empty packets in a row).
SyncAction syncOnByte(SyncProgress& sync, uint8_t byte, std::chrono::steady_clock::time_point now,
                      const SyncPace& pace);

// A read that found no byte while synchronising: the requests go out again once the module
// has been silent long enough, or at once when synchronisation was asked for from outside.
SyncAction syncOnSilence(SyncProgress& sync, std::chrono::steady_clock::time_point now,
                         const SyncPace& pace);

} // namespace corvane::link
