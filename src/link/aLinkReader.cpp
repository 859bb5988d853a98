// The link reader thread: turns stream bytes into packets, keeps the link in step with its
// module, answers heartbeats and hands every other packet to the user filter or the FIFO.
#include "aLinkEngine.h"
#include "aLinkSync.h"
#include "aStream_Internal.h"

namespace corvane::link {

namespace {

using namespace std::chrono_literals;

// How the reader idles on a stream that answers "not ready" at once: it yields for the first
// moments of silence, so replies that follow requests closely are taken without delay. Past
// that, a stream that can wait for a byte is waited on; one that cannot is polled after
// sleeps in growing steps up to 1 ms, so an idle link costs little.
class IdleBackoff {
  public:
    // Yielding is cheaper than waking from a wait when the reply is this close (a reader that
    // always waited made back-to-back exchanges a fifth slower on one CPU).
    static constexpr auto kYieldSpan = 200us;
    void reset() { idle_ = false; }
    // How long the stream has been quiet, counted from the first call after a reset.
    Clock::duration quiet() {
        const auto now = Clock::now();
        if (!idle_) {
            idle_ = true;
            since_ = now;
        }
        return now - since_;
    }
    void pause() {
        const auto quiet = this->quiet();
        if (quiet < kYieldSpan)
            std::this_thread::yield();
        else if (quiet < 2ms)
            std::this_thread::sleep_for(20us);
        else if (quiet < 50ms)
            std::this_thread::sleep_for(200us);
        else
            std::this_thread::sleep_for(1ms);
    }

  private:
    bool idle_ = false;
    Clock::time_point since_;
};

// Carries out what the synchronisation state machine asked for.
void apply(LinkRecord& r, SyncProgress& sync, aPacket* assembly, SyncAction action) {
    switch (action) {
    case SyncAction::None: return;
    case SyncAction::InStep: setStatus(r, LINK_RUNNING); return;
    case SyncAction::Restarted:
    case SyncAction::SendRequests: break;
    }
    setStatus(r, LINK_SYNCING);
    aPacket_Reset(assembly);
    if (action != SyncAction::SendRequests)
        return;
    aErr result = aErrNone;
    for (int i = 0; i < kSyncRequestCount; ++i)
        result = putPacket(r.outgoing, aLINK_SYNC_ADDRESS, 0, nullptr);
    if (result != aErrNone)
        sync.state = kSyncStateStart;
}

bool runUserFilter(LinkRecord& r, const aPacket* packet) {
    std::lock_guard<std::mutex> lock(r.filterLock);
    if (r.userFilter == nullptr)
        return false;
    try {
        return r.userFilter(packet, r.userReference);
    } catch (...) {
        return false;
    }
}

aErr dispatch(LinkRecord& r, aPacket* packet) {
    logPacket(r, kTagReceived, packet);
    aErr result = aErrNone;
    if (!runUserFilter(r, packet)) {
        if (packet->length == 2 && packet->data[0] == 0) {
            // Heartbeats are answered here and never reach the incoming FIFO.
            const uint8_t answer[2] = {0, static_cast<uint8_t>(packet->data[1] + 2)};
            putPacket(r.outgoing, packet->address, 2, answer);
        } else {
            result = aPacketFifo_Put(r.incoming, packet);
        }
    }
    aPacket_Reset(packet);
    return result;
}

} // namespace

void readerMain(RecordPtr rp, aStream* stream, aPacket* assembly, uint32_t generation,
                std::shared_ptr<std::atomic<bool>> ended) {
    LinkRecord& r = *rp;
    const aLinkTiming timing = currentTiming();
    const SyncPace pace{Millis(timing.syncResendMs), Millis(timing.syncRespaceMs)};
    SyncProgress sync;
    r.readerStarted = true;
    setStatus(r, LINK_RUNNING);
    notifyAll(r);

    // After the first moments of silence, streams that can wait for a byte are waited on: the
    // reader wakes the moment the byte comes, and costs nothing while none does.
    bool canWait = true;
    IdleBackoff idle;
    while (live(r, generation)) {
        uint8_t byte = 0;
        const aErr read = aStream_Read(stream, &byte, 1);
        if (read == aErrNotReady) {
            if (r.status.load() == LINK_SYNCING)
                apply(r, sync, assembly, syncOnSilence(sync, Clock::now(), pace));
            if (canWait && idle.quiet() >= IdleBackoff::kYieldSpan) {
                const aErr waited = aStream_Wait(stream, timing.readWaitMs);
                if (waited == aErrNone || waited == aErrNotReady)
                    continue;
                canWait = waited != aErrUnimplemented;
            }
            idle.pause();
            continue;
        }
        idle.reset();
        if (read != aErrNone) {
            setStatus(r, IO_ERROR);
            waitFor(r, Millis(timing.readErrorPauseMs), [&] { return !live(r, generation); });
            continue;
        }
        if (r.status.load() == LINK_SYNCING) {
            apply(r, sync, assembly, syncOnByte(sync, byte, Clock::now(), pace));
        } else if (aPacket_AddByte(assembly, byte) != aErrNone) {
            // A byte that fits no packet: out of step.
            apply(r, sync, assembly, syncRestart(sync, Clock::now(), pace.respace));
        } else if (aPacket_IsComplete(assembly) && dispatch(r, assembly) != aErrNone) {
            setStatus(r, LINK_ERROR);
        }
    }
    markEnded(r, *ended);
}

} // namespace corvane::link
