// The synchronisation state machine of the link reader; pure, so it is tested byte by byte.
#include "aLinkSync.h"

namespace corvane::link {

SyncAction syncRestart(SyncProgress& sync, std::chrono::steady_clock::time_point now,
                       std::chrono::milliseconds spacing) {
    sync.state = kSyncStateByte1;
    if (sync.lastRequest != std::chrono::steady_clock::time_point{} &&
        now - sync.lastRequest < spacing)
        return SyncAction::Restarted;
    sync.lastRequest = now;
    return SyncAction::SendRequests;
}

SyncAction syncOnByte(SyncProgress& sync, uint8_t byte, std::chrono::steady_clock::time_point now,
                      const SyncPace& pace) {
    switch (sync.state) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            sync.address = byte;
            sync.state = kSyncStateByte2;
            return SyncAction::None;
        }
        return syncRestart(sync, now, pace.respace);
    case kSyncStateByte2:
        sync.state = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        return SyncAction::None;
    case kSyncStateByte3:
        sync.state = byte == sync.address ? kSyncStateByte4 : kSyncStateStart;
        return SyncAction::None;
    case kSyncStateByte4:
        if (byte == 0) {
            sync.state = kInStep;
            return SyncAction::InStep;
        }
        sync.state = kSyncStateStart;
        return SyncAction::None;
    default: // kSyncStateStart, or a synchronisation asked for from outside
        return syncRestart(sync, now, pace.respace);
    }
}

SyncAction syncOnSilence(SyncProgress& sync, std::chrono::steady_clock::time_point now,
                         const SyncPace& pace) {
    if (sync.state == kInStep || now - sync.lastRequest >= pace.resend)
        return syncRestart(sync, now, std::chrono::milliseconds::zero());
    return SyncAction::None;
}

} // namespace corvane::link
