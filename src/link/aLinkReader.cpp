// The link reader thread: turns stream bytes into packets, keeps the link in step with its
// module, answers heartbeats and hands every other packet to the user filter or the FIFO.
#include "aLinkEngine.h"
#include "aLinkSync.h"
#include "aPacketFifoInternal.h"
#include "aStream_Internal.h"
#include "platform/platform.h"

#include <array>
#include <vector>

namespace corvane::link {

namespace {

using namespace std::chrono_literals;

// How the reader idles on a stream that cannot wait for a byte (one a program made): it yields
// for the first moments of silence, so replies that follow requests closely are taken without
// delay, then polls after sleeps in growing steps up to 1 ms, so an idle link costs little.
class IdleBackoff {
  public:
    static constexpr auto kYieldSpan = 200us;
    void reset() { idle_ = false; }
    void pause() {
        const auto now = Clock::now();
        if (!idle_) {
            idle_ = true;
            since_ = now;
        }
        const auto quiet = now - since_;
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
void adoptQueuedRequests(LinkRecord& r, SyncProgress& sync, aPacket* assembly,
                         uint64_t& discarded) {
    if (sync.state == kInStep && r.syncRequestsQueued.exchange(false)) {
        sync.state = kSyncStateByte1;
        sync.lastRequest = Clock::now();
        discarded += assembly->count;
        aPacket_Reset(assembly);
    }
}

// Carries out what the synchronisation state machine asked for. A packet cut short by it counts
// as discarded.
void apply(LinkRecord& r, SyncProgress& sync, aPacket* assembly, uint64_t& discarded,
           SyncAction action) {
    switch (action) {
    case SyncAction::None: return;
    case SyncAction::InStep: setStatus(r, LINK_RUNNING); return;
    case SyncAction::Restarted:
    case SyncAction::SendRequests: break;
    }
    setStatus(r, LINK_SYNCING);
    discarded += assembly->count;
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
CORVANE_HOT_PATH bool runUserFilters(LinkRecord& r, const aPacket* packet) {
    if (!r.userFilterSet.load())
        return false;
    std::lock_guard<std::mutex> lock(r.filterLock);
    bool taken = r.userFilter != nullptr && offer(r.userFilter, r.userReference, packet);
    for (const LinkRecord::PacketFilterEntry& added : r.addedFilters)
        taken = offer(added.filter, added.reference, packet) || taken;
    return taken;
}

// Tells the added filters that what one read brought has been taken apart.
CORVANE_HOT_PATH void endUserFilterBurst(LinkRecord& r) {
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
    CORVANE_HOT_PATH aErr deliver(aPacketFifoId fifo) {
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
    std::size_t count_ = 0; // first: a reply's packet touches the first page alone
    std::array<aPacket, kCapacity> packets_;
};

// A complete packet: recorded, offered to the user filters, answered when a heartbeat, else
// gathered for the incoming FIFO. The assembly packet is reset for the next one.
CORVANE_HOT_PATH void dispatch(LinkRecord& r, aPacket* packet, Inbox& inbox) {
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
CORVANE_HOT_PATH std::size_t wholePacket(aPacket* assembly, const uint8_t* bytes,
                                         std::size_t available) {
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

// How long the reader thread stands aside after a caller's wait for an incoming packet ended:
// long enough for the caller's next request of an exchange, short enough that a packet the
// module sends on its own is taken up soon after the exchanges end.
constexpr auto kCallerHold = 2ms;

// The link whose stream this thread reads, for its user filters (which may put packets), and
// whether it reads for a caller.
class ReaderScope {
  public:
    ReaderScope(const LinkRecord& r, bool forCaller)
        : previous_(tReaderOf), previousForCaller_(aStream_ReadingForCaller()) {
        tReaderOf = &r;
        aStream_SetReadingForCaller(forCaller);
    }
    ~ReaderScope() {
        tReaderOf = previous_;
        aStream_SetReadingForCaller(previousForCaller_);
    }
    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;

  private:
    const LinkRecord* previous_;
    bool previousForCaller_;
};

} // namespace

struct ReadPath {
    ReadPath(aStream* s, aPacket* a, uint32_t g)
        : stream(s), assembly(a), generation(g),
          timing(currentTiming()), pace{Millis(timing.syncResendMs), Millis(timing.syncRespaceMs)} {
        if (canWait && aStream_CanWatch(stream) && platform::makeWake(wake) != aErrNone)
            wake = platform::noWake; // the thread then polls in short slices
        // A stream the last run left muted (a caller's wait ended after the stop) speaks again.
        if (canMute)
            aStream_Mute(stream, false);
    }
    ~ReadPath() { platform::closeWake(wake); }
    ReadPath(const ReadPath&) = delete;
    ReadPath& operator=(const ReadPath&) = delete;

    // Held by whoever reads the stream and takes apart what it brings. Taken before filterLock,
    // the FIFO locks and signalLock, never after them.
    std::mutex lock;
    aStream* const stream;
    aPacket* const assembly;
    const uint32_t generation;
    const aLinkTiming timing;
    const SyncPace pace;
    SyncProgress sync;
    // Bytes taken apart that went into no packet (see discardedBytes).
    uint64_t discarded = 0;
    // Streams that can wait for a byte are waited on: the reader wakes the moment it comes,
    // and costs nothing while none does. Only they are read by callers too: a stream that
    // cannot wait is polled, by the reader thread alone.
    const bool canWait = aStream_CanWait(stream);
    // A stream that can also be polled beside its read path is watched by the idle reader
    // thread without the lock, so a caller that comes meanwhile reads for itself at once.
    const bool canPoll = aStream_CanPoll(stream);
    // Reads that brought bytes, by anyone (under the lock); the reader thread's own notes of its
    // last poll. A poll that found the stream ready, followed by a read that found nothing
    // while no one else read, was misled (a peer that hung up looks ready for ever): the
    // thread then waits through wait, which sleeps out such a stream, until bytes come again.
    uint64_t reads = 0;
    uint64_t readsAtPoll = 0;
    bool pollPromised = false;
    bool pollMisled = false;
    // Ends the idle reader thread's watch of a stream that can be watched (noWake for one that
    // cannot), for it to look at the link again at once: raised by stop and synchronisation.
    platform::WakeHandle wake = platform::noWake;
    // Whether callers have muted the stream in the reader's watch (see readerWatching).
    const bool canMute = aStream_CanMute(stream);
    std::mutex muteLock;
    bool muted = false; // guarded by muteLock

    // The bulky parts last: what every exchange touches above shares the first pages, which
    // after an idle spell each cost a walk of the page tables.
    std::vector<uint8_t> block = std::vector<uint8_t>(16384); // a burst of the stream in one piece
    Inbox inbox;
};

std::shared_ptr<ReadPath> makeReadPath(aStream* stream, aPacket* assembly, uint32_t generation) {
    return std::make_shared<ReadPath>(stream, assembly, generation);
}

void wakeReader(ReadPath& path) {
    platform::raiseWake(path.wake);
}

bool awaitReadFree(ReadPath& path, Millis limit) {
    const auto deadline = Clock::now() + limit;
    while (!path.lock.try_lock()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(100us);
    }
    path.lock.unlock();
    return true;
}

uint64_t discardedBytes(const ReadPath& path) {
    return path.discarded;
}

CORVANE_HOT_PATH void takeApart(LinkRecord& r, ReadPath& p, const uint8_t* block, std::size_t got) {
    for (std::size_t i = 0; i < got; ++i) {
        const bool syncing = r.status.load() == LINK_SYNCING;
        if (const std::size_t whole = syncing ? 0 : wholePacket(p.assembly, block + i, got - i)) {
            dispatch(r, p.assembly, p.inbox);
            i += whole - 1;
            continue;
        }
        const uint8_t byte = block[i];
        if (syncing) {
            // The byte is the module's answer or noise: no packet's either way.
            adoptQueuedRequests(r, p.sync, p.assembly, p.discarded);
            ++p.discarded;
            apply(r, p.sync, p.assembly, p.discarded,
                  syncOnByte(p.sync, byte, Clock::now(), p.pace));
        } else if (aPacket_AddByte(p.assembly, byte) != aErrNone) {
            // A byte that fits no packet: out of step. The assembly counted it.
            apply(r, p.sync, p.assembly, p.discarded,
                  syncRestart(p.sync, Clock::now(), p.pace.respace));
        } else if (aPacket_IsComplete(p.assembly)) {
            dispatch(r, p.assembly, p.inbox);
        }
    }
    endUserFilterBurst(r);
    if (p.inbox.deliver(r.incoming) != aErrNone)
        setStatus(r, LINK_ERROR);
}

void takeSilence(LinkRecord& r, ReadPath& p) {
    if (r.status.load() != LINK_SYNCING)
        return;
    adoptQueuedRequests(r, p.sync, p.assembly, p.discarded);
    apply(r, p.sync, p.assembly, p.discarded, syncOnSilence(p.sync, Clock::now(), p.pace));
}

namespace {

// What one read of the stream found.
enum class ReadOutcome { bytes, none, failed };

// waitMs: how long to wait for bytes (0: only looks).
CORVANE_HOT_PATH ReadOutcome readOnce(LinkRecord& r, ReadPath& p, uint32_t waitMs = 0) {
    std::size_t got = 0;
    const aErr read = aStream_ReadWithin(p.stream, p.block.data(), p.block.size(), &got, waitMs);
    if (read == aErrNotReady)
        return ReadOutcome::none;
    if (read != aErrNone) {
        setStatus(r, IO_ERROR);
        return ReadOutcome::failed;
    }
    ++p.reads;
    takeApart(r, p, p.block.data(), got);
    return ReadOutcome::bytes;
}

// Callers read a stream that can wait, while the link runs in step.
CORVANE_HOT_PATH bool callersMayRead(const LinkRecord& r, const ReadPath& p) {
    return p.canWait && r.status.load() == LINK_RUNNING;
}

// Whether the reader thread stands aside for callers that read for themselves: while they wait
// for packets, and for a moment after the last wait ended.
bool callersReading(const LinkRecord& r, const ReadPath& p, Clock::time_point now) {
    if (!callersMayRead(r, p))
        return false;
    if (r.waiters.load() > 0)
        return true;
    const Clock::time_point ended{Clock::duration(r.lastWaitEnded.load())};
    return now - ended < kCallerHold;
}

// Stands aside until the callers are done (or the link stops or leaves step), looking again
// at least every readWaitMs.
void standAside(LinkRecord& r, const ReadPath& p) {
    const auto now = Clock::now();
    if (r.waiters.load() > 0) {
        // Those waiting on the FIFO while this thread held the stream now read for themselves.
        nudgeWaiters(r);
        // Set before the look at waiters under the signal lock: the caller whose wait ends
        // last either sees it and wakes this thread, or ended before that look.
        r.readerAside = true;
        waitFor(r, Millis(p.timing.readWaitMs), [&] {
            return !live(r, p.generation) || !callersMayRead(r, p) || r.waiters.load() == 0;
        });
        r.readerAside = false;
        return;
    }
    const Clock::time_point ended{Clock::duration(r.lastWaitEnded.load())};
    const auto limit = std::chrono::ceil<Millis>(ended + kCallerHold - now);
    if (limit.count() > 0)
        waitFor(r, limit, [&] { return !live(r, p.generation) || !callersMayRead(r, p); });
}

// Mutes the stream in the reader thread's watch, or lets it speak again when no caller waits.
CORVANE_HOT_PATH void muteWatch(LinkRecord& r, ReadPath& p, bool muted) {
    std::lock_guard<std::mutex> lock(p.muteLock);
    // Under the lock: a wait that began since the last one ended keeps the stream muted.
    if (p.muted == muted || (!muted && r.waiters.load() > 0))
        return;
    if (aStream_Mute(p.stream, muted) == aErrNone) {
        p.muted = muted;
        r.streamMuted = muted;
    }
}

// The idle reader thread's wait for the stream to bring something, without the path's lock so
// that a caller who comes meanwhile reads for itself at once. aErrNone when the stream looks
// ready, aErrNotReady when the time ran out, aErrCancel when called away, another aErr when
// the wait failed.
aErr idleWait(LinkRecord& r, ReadPath& p) {
    if (p.wake == platform::noWake)
        return aStream_Poll(p.stream, p.timing.readWaitMs);
    // Set before the look at waiters: a caller whose wait begins meanwhile either is seen here
    // or sees the watch and mutes the stream in it.
    r.readerWatching = true;
    if (r.waiters.load() > 0) {
        r.readerWatching = false;
        return aErrNotReady; // the loop stands aside for it
    }
    // What callers muted for their exchanges speaks again now that they are done.
    if (r.streamMuted.load())
        muteWatch(r, p, false);
    // A stop or a synchronisation calls the thread away and bytes end the watch as they come,
    // so only the wake-ups of an idle link ride on its length.
    const aErr watched = aStream_Watch(p.stream, p.wake, p.timing.idleWatchMs);
    r.readerWatching = false;
    // Cleared before the loop looks at the link again: what raised it is seen then.
    if (watched == aErrCancel)
        platform::clearWake(p.wake);
    return watched;
}

// A caller's wait begins while the reader thread watches the idle stream. A single exchange
// mutes the stream in that watch, so the reply wakes the caller alone; when exchanges follow
// one another, the reader is called away instead, to stand aside for as long as they go on
// rather than have each mute and unmute the stream.
CORVANE_HOT_PATH void quietWatch(LinkRecord& r) {
    const std::shared_ptr<ReadPath> path = r.readPath.load();
    if (!path)
        return;
    const Clock::time_point ended{Clock::duration(r.lastWaitEnded.load())};
    if (Clock::now() - ended < kCallerHold)
        wakeReader(*path);
    else if (path->canMute)
        muteWatch(r, *path, true);
}

// The last caller's wait ended while the reader thread still watches a stream muted for it:
// the stream speaks again, so that what the module sends on its own is taken up at once.
CORVANE_HOT_PATH void unmuteWatch(LinkRecord& r) {
    if (const std::shared_ptr<ReadPath> path = r.readPath.load())
        muteWatch(r, *path, false);
}

} // namespace

void readerMain(RecordPtr rp, std::shared_ptr<ReadPath> path,
                std::shared_ptr<std::atomic<bool>> ended) {
    LinkRecord& r = *rp;
    ReadPath& p = *path;
    ReaderScope scope(r, false);
    r.readerStarted = true;
    setStatus(r, LINK_RUNNING);
    notifyAll(r);
    // Only this thread reads a stream that cannot wait, so only it idles on one.
    IdleBackoff idle;

    while (live(r, p.generation)) {
        if (callersReading(r, p, Clock::now())) {
            standAside(r, p);
            continue;
        }
        std::unique_lock<std::mutex> reading(p.lock);
        const ReadOutcome outcome = readOnce(r, p);
        if (p.pollPromised) {
            p.pollPromised = false;
            p.pollMisled = outcome == ReadOutcome::none && p.reads == p.readsAtPoll;
        }
        if (outcome == ReadOutcome::bytes) {
            p.pollMisled = false;
            idle.reset();
            continue;
        }
        if (outcome == ReadOutcome::failed) {
            reading.unlock();
            waitFor(r, Millis(p.timing.readErrorPauseMs), [&] { return !live(r, p.generation); });
            continue;
        }
        takeSilence(r, p);
        if (p.canPoll && !p.pollMisled && r.status.load() == LINK_RUNNING) {
            p.readsAtPoll = p.reads;
            reading.unlock();
            const aErr polled = idleWait(r, p);
            p.pollPromised = polled == aErrNone;
            if (polled == aErrNone || polled == aErrNotReady || polled == aErrCancel)
                continue;
            reading.lock();
        }
        if (!live(r, p.generation))
            continue; // stopping: a stop that has begun waits for this thread's lock
        if (p.canWait) {
            const aErr waited = aStream_Wait(p.stream, p.timing.readWaitMs);
            if (waited == aErrNone || waited == aErrNotReady)
                continue;
        }
        reading.unlock();
        idle.pause();
    }
    markEnded(r, *ended);
}

CORVANE_HOT_PATH bool readForCaller(LinkRecord& r, uint32_t waitMs) {
    if (tReaderOf == &r)
        return false; // a user filter waiting for packets: the stream is being read already
    const std::shared_ptr<ReadPath> path = r.readPath.load();
    if (!path)
        return false;
    ReadPath& p = *path;
    std::unique_lock<std::mutex> reading(p.lock, std::try_to_lock);
    // Stop clears running before it waits for the lock, so a path found live here stays so.
    if (!reading.owns_lock() || !live(r, p.generation) || !callersMayRead(r, p))
        return false;
    ReaderScope scope(r, true);
    // The wait and the read in one step where the stream can; a failure the read reports ends
    // callers' reading instead of the caller coming straight back to wait again.
    readOnce(r, p, std::max<uint32_t>(1, std::min(waitMs, p.timing.readWaitMs)));
    return true;
}

CORVANE_HOT_PATH IncomingWait::IncomingWait(LinkRecord& r) : r_(r) {
    ++r_.waiters;
    if (r_.readerWatching.load())
        quietWatch(r_);
}

CORVANE_HOT_PATH IncomingWait::~IncomingWait() {
    r_.lastWaitEnded = Clock::now().time_since_epoch().count();
    // Callers still waiting may have slept while this one read: one of them reads now. After
    // the last, the reader thread that stood aside for them, or watches a muted stream, takes
    // over again.
    if (--r_.waiters > 0) {
        nudgeWaiters(r_);
        return;
    }
    if (r_.streamMuted.load() && r_.readerWatching.load())
        unmuteWatch(r_);
    if (r_.readerAside.exchange(false))
        notifyAll(r_);
}

CORVANE_HOT_PATH void nudgeWaiters(LinkRecord& r) {
    ++r.nudges;
    // A caller that goes to sleep after this read the count before it: its wait ends at once.
    if (r.sleepers.load() > 0)
        aPacketFifo_WakeWaiters(r.incoming);
}

} // namespace corvane::link
