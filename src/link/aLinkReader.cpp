// The link reader thread: turns stream bytes into packets, keeps the link in step with its
// module, answers heartbeats and hands every other packet to the user filter or the FIFO.
#include "aLinkEngine.h"
#include "aLinkSync.h"
#include "aPacketFifoInternal.h"
#include "aStream_Internal.h"

#include <array>
#include <vector>

namespace corvane::link {

thread_local const LinkRecord* tReaderOf = nullptr;

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

// A synchronisation asked for from outside (aLink_Sync) has queued its requests already: the
// reader waits for their answers instead of sending more.
void adoptQueuedRequests(LinkRecord& r, SyncProgress& sync, aPacket* assembly) {
    if (sync.state == kInStep && r.syncRequestsQueued.exchange(false)) {
        sync.state = kSyncStateByte1;
        sync.lastRequest = Clock::now();
        aPacket_Reset(assembly);
    }
}

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
    if (putSyncRequests(r) != aErrNone)
        sync.state = kSyncStateStart;
}

bool offer(aPacketFilter filter, void* reference, const aPacket* packet) {
    try {
        return filter(packet, reference);
    } catch (...) {
        return false;
    }
}

// Every filter sees the packet, also after one has taken it: each Link on a shared link keeps
// its own stream values and callbacks. Taken by any, the packet goes no further.
bool runUserFilters(LinkRecord& r, const aPacket* packet) {
    if (!r.userFilterSet.load())
        return false;
    std::lock_guard<std::mutex> lock(r.filterLock);
    bool taken = r.userFilter != nullptr && offer(r.userFilter, r.userReference, packet);
    for (const LinkRecord::PacketFilterEntry& added : r.addedFilters)
        taken = offer(added.filter, added.reference, packet) || taken;
    return taken;
}

// Tells the added filters that what one read brought has been taken apart.
void endUserFilterBurst(LinkRecord& r) {
    if (!r.userFilterSet.load())
        return;
    std::lock_guard<std::mutex> lock(r.filterLock);
    for (const LinkRecord::PacketFilterEntry& added : r.addedFilters) {
        if (added.endOfBurst == nullptr)
            continue;
        try {
            added.endOfBurst(added.reference);
        } catch (...) {
        }
    }
}

// Packets bound for the incoming FIFO, gathered while one block of bytes is taken apart so
// that a burst costs its waiter one wake-up instead of one per packet.
class Inbox {
  public:
    static constexpr std::size_t kCapacity = 512;
    // A reader that finds the FIFO full waits while its reader takes packets, so a long reply
    // is not thrown away under a busy caller; after this long with none taken, nobody reads
    // and the packets go in (and the FIFO discards its backlog as it does for any put).
    static constexpr uint32_t kIdleReaderMs = 20;

    bool full() const { return count_ == kCapacity; }
    void add(const aPacket& packet) { packets_[count_++] = packet; }

    // Hands the gathered packets to the FIFO; the put's error.
    aErr deliver(aPacketFifoId fifo) {
        if (count_ == 0)
            return aErrNone;
        const std::size_t put = aPacketFifo_PutWithinRoom(fifo, packets_.data(), count_);
        aErr result = aErrNone;
        if (put < count_) {
            aPacketFifo_AwaitRoom(fifo, count_ - put, kIdleReaderMs);
            result = aPacketFifo_PutAll(fifo, packets_.data() + put, count_ - put);
        }
        count_ = 0;
        return result;
    }

  private:
    std::array<aPacket, kCapacity> packets_;
    std::size_t count_ = 0;
};

// A complete packet: recorded, offered to the user filters, answered when a heartbeat, else
// gathered for the incoming FIFO. The assembly packet is reset for the next one.
void dispatch(LinkRecord& r, aPacket* packet, Inbox& inbox) {
    logPacket(r, kTagReceived, packet);
    if (!runUserFilters(r, packet)) {
        if (packet->length == 2 && packet->data[0] == 0) {
            // Heartbeats are answered here and never reach the incoming FIFO.
            const uint8_t answer[2] = {0, static_cast<uint8_t>(packet->data[1] + 2)};
            putPacket(r.outgoing, packet->address, 2, answer);
        } else {
            if (inbox.full() && inbox.deliver(r.incoming) != aErrNone)
                setStatus(r, LINK_ERROR);
            inbox.add(*packet);
        }
    }
    aPacket_Reset(packet);
}

// The common case taken in one step: an in-step reader, nothing assembled yet, and a whole
// valid packet at the front of the bytes. Fills the assembly packet exactly as byte-by-byte
// assembly would and returns the bytes used; 0 when the bytes must go one at a time.
std::size_t wholePacket(aPacket* assembly, const uint8_t* bytes, std::size_t available) {
    if (assembly->count != 0 || available < 2)
        return 0;
    const uint8_t address = bytes[0];
    const uint8_t length = bytes[1];
    if (address == 0 || (address & 1) != 0 || length > aPACKET_MAXDATA || available < length + 2u)
        return 0;
    assembly->address = address;
    assembly->length = length;
    assembly->count = static_cast<uint8_t>(length + 2);
    std::memcpy(assembly->data, bytes + 2, length);
    return length + 2u;
}

} // namespace

void readerMain(RecordPtr rp, aStream* stream, aPacket* assembly, uint32_t generation,
                std::shared_ptr<std::atomic<bool>> ended) {
    LinkRecord& r = *rp;
    tReaderOf = &r;
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
    auto inbox = std::make_unique<Inbox>();
    std::vector<uint8_t> storage(16384); // a burst of the socket stream in one piece
    uint8_t* const block = storage.data();
    while (live(r, generation)) {
        std::size_t got = 0;
        const aErr read = aStream_ReadAvailable(stream, block, storage.size(), &got);
        if (read == aErrNotReady) {
            if (r.status.load() == LINK_SYNCING) {
                adoptQueuedRequests(r, sync, assembly);
                apply(r, sync, assembly, syncOnSilence(sync, Clock::now(), pace));
            }
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
        for (std::size_t i = 0; i < got; ++i) {
            const bool syncing = r.status.load() == LINK_SYNCING;
            if (const std::size_t whole = syncing ? 0 : wholePacket(assembly, block + i, got - i)) {
                dispatch(r, assembly, *inbox);
                i += whole - 1;
                continue;
            }
            const uint8_t byte = block[i];
            if (syncing) {
                adoptQueuedRequests(r, sync, assembly);
                apply(r, sync, assembly, syncOnByte(sync, byte, Clock::now(), pace));
            } else if (aPacket_AddByte(assembly, byte) != aErrNone) {
                // A byte that fits no packet: out of step.
                apply(r, sync, assembly, syncRestart(sync, Clock::now(), pace.respace));
            } else if (aPacket_IsComplete(assembly)) {
                dispatch(r, assembly, *inbox);
            }
        }
        endUserFilterBurst(r);
        if (inbox->deliver(r.incoming) != aErrNone)
            setStatus(r, LINK_ERROR);
    }
    markEnded(r, *ended);
}

} // namespace corvane::link
