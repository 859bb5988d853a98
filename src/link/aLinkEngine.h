// Link engine internals shared by its parts. The parts form a stack, each calling only those
// below it: queries, registry, lifecycle, reader and writer (side by side, neither calling the
// other), base. This header declares each part's calls under its name; the link record and the
// inline helpers belong to the base.
#pragma once

#include "aLinkInternal.h"
#include "aPacketInternal.h"
#include "cApiGuard.h"
#include "corvane/aPacketFifo.h"
#include "corvane/aPacketLog.h"
#include "platform/hot_path.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane::link {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr uint16_t kLinkCheck = 0xCEED;
constexpr int kSyncRequestCount = 6;
constexpr uint8_t kTagSent = 1;
constexpr uint8_t kTagReceived = 2;

// The state of reading a started link's stream (assembly, synchronisation, the packets of a
// burst) and the lock of whoever reads it: one per start.
struct ReadPath;

struct LinkRecord {
    uint16_t check = kLinkCheck; // cleared when the link is torn down
    aLinkRef id = 0;
    std::atomic<bool> running{false}; // the threads loop while it is set
    std::atomic<int> status{LINK_INVALID};
    std::atomic<aPacketFifoId> incoming{0}; // replaced only while stopped
    std::atomic<aPacketFifoId> outgoing{0}; // replaced only while stopped

    // Guarded by lifecycle: the threads, the stream and the assembly packet change only while
    // the threads are not running (each thread works on the pointers it was started with).
    std::thread reader;
    std::thread writer;
    aStream* stream = nullptr; // owned
    aPacket* assembly = nullptr;
    bool torn = false;      // torn down; nothing may start it again
    bool abandoned = false; // a thread outlived its stop: its stream and packet are leaked
    std::atomic<uint32_t> generation{0}; // bumped per start, so an abandoned thread ends

    std::atomic<bool> readerStarted{false};
    std::atomic<bool> writerStarted{false};
    // Set by the reader and the writer when they end; each start makes new ones, so a thread
    // that outlived its stop and ends later cannot pass for the thread of a newer start.
    // Replaced only while the threads are not running (under lifecycle).
    std::shared_ptr<std::atomic<bool>> readerEnded;
    std::shared_ptr<std::atomic<bool>> writerEnded;

    std::mutex logLock;
    aPacketLog* log = nullptr;        // guarded by logLock
    std::size_t logSize = 0;          // guarded by logLock; 0 until set
    std::atomic<bool> logging{false}; // log exists and is enabled; saves the lock when off

    // The packet filters the reader offers every packet to: the one user filter of
    // aLink_InstallUserPacketFilter, then those added beside it (each Link's stream filter on a
    // link several Links share), in the order added. All run under filterLock, so a filter that
    // has been removed runs no more once the removal returns.
    struct PacketFilterEntry {
        aPacketFilter filter;
        void* reference;
        aPacketBurstEnd endOfBurst; // may be null
    };
    std::mutex filterLock;
    aPacketFilter userFilter = nullptr;          // guarded by filterLock
    void* userReference = nullptr;               // guarded by filterLock
    std::vector<PacketFilterEntry> addedFilters; // guarded by filterLock
    // Whether any filter is in place; saves the reader the lock on every packet when none is.
    // Set under filterLock, read without it.
    std::atomic<bool> userFilterSet{false};

    std::atomic<bool> pooled{false};
    // Held by the writer thread from taking packets until they are written, and by a caller
    // that writes its own packet because nothing is queued (writeNow): so the stream sees one
    // writer at a time and packets in the order they were put.
    std::mutex writeLock;
    // Set while a synchronisation asked for from outside has queued its requests itself.
    std::atomic<bool> syncRequestsQueued{false};

    // Reading the stream, from one start to its stop (null while stopped). The reader thread
    // holds the path's lock while it reads or waits for bytes; a caller waiting for an
    // incoming packet takes it when it is free and reads for itself, so the reply reaches it
    // without a hand-off between threads.
    std::atomic<std::shared_ptr<ReadPath>> readPath;
    // Callers inside a wait for incoming packets, and when the last such wait ended: while
    // they read, or a caller read a moment ago and may soon again, the reader thread stands
    // aside (its next wait on the stream would keep them from it).
    std::atomic<unsigned> waiters{0};
    std::atomic<Clock::rep> lastWaitEnded{0};
    // Moved on (nudgeWaiters) when the stream becomes free for the callers that sleep on the
    // incoming FIFO (sleepers of them), so that one of them reads instead.
    std::atomic<uint64_t> nudges{0};
    std::atomic<unsigned> sleepers{0};
    // Set while the reader thread stands aside until the last caller's wait ends, for that
    // caller to wake it: packets the module sends on its own are then taken up soon after the
    // exchanges end rather than a whole reader wait later.
    std::atomic<bool> readerAside{false};
    // Set while the reader thread watches the stream of an idle link. A caller whose wait
    // begins then mutes the stream in that watch (where the stream can be muted), so that the
    // reply wakes the caller alone, and the last caller's wait to end lets it speak again; or,
    // when exchanges follow one another, calls the reader away to stand aside for them.
    std::atomic<bool> readerWatching{false};
    // Whether the stream is muted so; read without the lock that guards the muting.
    std::atomic<bool> streamMuted{false};

    // Serialises start, stop, synchronisation, reset and teardown. The link's own threads never
    // take it. Taken before logLock, filterLock and signalLock, never after them.
    std::mutex lifecycle;

    // Wakes waiters on status changes and on thread start and end; guards nothing else.
    std::mutex signalLock;
    std::condition_variable signal;
};

using RecordPtr = std::shared_ptr<LinkRecord>;

// ---- Base: status and signalling ----

inline void notifyAll(LinkRecord& r) {
    { std::lock_guard<std::mutex> lock(r.signalLock); }
    r.signal.notify_all();
}

inline void setStatus(LinkRecord& r, linkStatus status) {
    if (r.status.load() == status)
        return;
    {
        std::lock_guard<std::mutex> lock(r.signalLock);
        r.status = status;
    }
    r.signal.notify_all();
}

template <class Pred> bool waitFor(LinkRecord& r, Clock::duration limit, Pred pred) {
    std::unique_lock<std::mutex> lock(r.signalLock);
    return r.signal.wait_for(lock, limit, pred);
}

inline bool live(const LinkRecord& r, uint32_t generation) {
    return r.running.load() && r.generation.load() == generation;
}

// Marks a thread's end and wakes whoever waits for it.
inline void markEnded(LinkRecord& r, std::atomic<bool>& ended) {
    {
        std::lock_guard<std::mutex> lock(r.signalLock);
        ended = true;
    }
    r.signal.notify_all();
}

// ---- Base: timing and packets (aLinkBase.cpp) ----

// The engine's timing as tests may have set it (aLink_SetTiming). Threads take a copy when
// they start.
aLinkTiming currentTiming();

// Queues a new packet of these bytes; aErrResource when it cannot be made.
aErr putPacket(aPacketFifoId fifo, uint8_t address, uint8_t length, const uint8_t* data);
// Queues the six synchronisation requests at once, so the writer takes them together; the put's
// result.
aErr putSyncRequests(LinkRecord& r);

// The link whose stream this thread reads (as its reader thread, or for a caller), if any: its
// user filters may put packets, and they must not be written on this thread.
extern thread_local constinit const LinkRecord* tReaderOf;

// Records the packet in the link's debug log, when there is one.
inline void logPacket(LinkRecord& r, uint8_t tag, const aPacket* packet) {
    if (!r.logging.load())
        return;
    uint8_t bytes[aPACKET_MAXWIRE];
    const std::size_t n = wireBytes(packet, bytes);
    std::lock_guard<std::mutex> lock(r.logLock);
    if (r.log != nullptr)
        aPacketLog_Put(r.log, tag, static_cast<uint8_t>(n), bytes);
}

// ---- Reader (aLinkReader.cpp) ----

std::shared_ptr<ReadPath> makeReadPath(aStream* stream, aPacket* assembly, uint32_t generation);
// Ends the reader thread's idle watch of the path's stream, for it to look at the link again.
void wakeReader(ReadPath& path);
// Waits until no one reads the path's stream, at most limit; false when someone still does.
bool awaitReadFree(ReadPath& path, Millis limit);
// Takes apart count bytes a read of the path's stream brought, as the reader does after every
// such read: packets go to the user filters, heartbeats are answered and the rest gathered for
// the incoming FIFO; bytes out of step go to synchronisation. Called under the path's lock.
void takeApart(LinkRecord& r, ReadPath& path, const uint8_t* bytes, std::size_t count);
// A read of the path's stream that found nothing: out of step, the requests go out again when
// the module has been silent long enough. Called under the path's lock.
void takeSilence(LinkRecord& r, ReadPath& path);
// Bytes the path's reader took apart that went into no packet: noise, packets cut short when
// the link fell out of step, and the answers that brought it back. With the bytes of the packets
// it framed and of the one it assembles, they make up every byte it took apart.
uint64_t discardedBytes(const ReadPath& path);
void readerMain(RecordPtr rp, std::shared_ptr<ReadPath> path,
                std::shared_ptr<std::atomic<bool>> ended);
// On a caller's thread that waits for incoming packets: reads the stream for itself when no
// one else does and the link runs in step, waiting at most waitMs for bytes, and takes apart
// what came. False (nothing done) when the stream is not the caller's to read now.
bool readForCaller(LinkRecord& r, uint32_t waitMs);
// Wakes the callers sleeping on the incoming FIFO, for one of them to read the stream.
void nudgeWaiters(LinkRecord& r);
// Marks a caller's wait for incoming packets from construction to destruction. Made before the
// request goes out, so that the reader thread, if it watches the idle stream, does not wake
// for the reply.
class IncomingWait {
  public:
    explicit IncomingWait(LinkRecord& r);
    ~IncomingWait();
    IncomingWait(const IncomingWait&) = delete;
    IncomingWait& operator=(const IncomingWait&) = delete;

  private:
    LinkRecord& r_;
};

// ---- Writer (aLinkWriter.cpp) ----

void writerMain(RecordPtr rp, aStream* stream, uint32_t generation,
                std::shared_ptr<std::atomic<bool>> ended);
// Writes one packet (and records it in the debug log).
void writeOne(LinkRecord& r, aStream* stream, const aPacket& packet);
// Writes the packets on the calling thread when the link runs, nothing is queued and the writer
// is idle; false (nothing written) otherwise, and the packets are to be queued.
bool writeNow(LinkRecord& r, const aPacket* packets, std::size_t count);

// ---- Lifecycle (aLinkLifecycle.cpp; callers hold r.lifecycle) ----

// Fills the record for a new or reopened stream: fresh FIFOs, an empty assembly packet.
aErr initialise(LinkRecord& r, aStream* stream);
aErr start(const RecordPtr& rp);
aErr stop(LinkRecord& r);
aErr synchronise(LinkRecord& r);
// Frees the FIFOs, the assembly packet, the debug log and the stream of a stopped link and
// clears its check word; returns the result of destroying the outgoing FIFO.
aErr releaseRecord(LinkRecord& r);

// ---- Registry (aLinkRegistry.cpp) ----

// The live record of a link, or null.
RecordPtr findRecord(aLinkRef id);

// The entry discipline of every call that acts on one link: hold the record for the whole call
// (so a concurrent destroy cannot free it), answer aErrParam for an unknown link and aErrUnknown
// for anything thrown.
template <typename Body> aErr withLink(aLinkRef link, Body&& body) noexcept {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        RecordPtr r = findRecord(link);
        return r ? body(r) : aErrParam;
    });
}

} // namespace corvane::link
