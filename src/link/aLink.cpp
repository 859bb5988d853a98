// Link engine: the process-wide registry of links, their reader and writer threads,
// synchronisation with the module, heartbeat answers, pooled writes and the packet debug log.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aLinkInternal.h"
#include "aStream_Internal.h"
#include "cApiGuard.h"
#include "corvane/aPacketFifo.h"
#include "corvane/aServer.h"
#include "corvane/aPacketLog.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint16_t kLinkCheck = 0xCEED;

constexpr auto kStartWait = 2000ms;
constexpr auto kSyncWait = 2000ms;
constexpr auto kThreadEndWait = 5000ms;
constexpr auto kReadErrorPause = 100ms;
constexpr auto kSyncSettle = 100ms;
constexpr auto kReopenPause = 100ms;
constexpr int kReopenAttempts = 20;
constexpr uint32_t kWriterWaitMs = 1000;
constexpr uint32_t kReplyWaitMs = 1000;
constexpr int kSyncRequestCount = 6;
// Streams that answer at once when idle (TCP, serial) would otherwise resend the requests at
// every empty read; USB reads wait 1000 ms on their own, so this changes nothing there.
constexpr auto kSyncResend = 200ms;
// An idle reader waits for its stream's next byte at most this long at a time, so that it sees
// a stop and the time for the next synchronisation requests soon enough.
constexpr uint32_t kReadWaitMs = 50;
// Bytes that break synchronisation send requests again at most this often. Without a pace, a
// noisy line feeds itself: each request draws answers, each bad byte of them six requests.
constexpr auto kSyncRespace = 50ms;

constexpr std::size_t kPoolSize = 4096;
constexpr std::size_t kPoolClose = kPoolSize - aPACKET_MAXWIRE; // 4066: one more may not fit

constexpr int32_t kMaxLogSize = 0x4000000;
constexpr std::size_t kDefaultLogSize = 0x10000;
constexpr uint8_t kTagSent = 1;
constexpr uint8_t kTagReceived = 2;

constexpr uint8_t kModelQuery[] = {0x03, 0x48, 0x20};
constexpr uint8_t kCmdSystem = 0x03;

enum class Kind : uint8_t { Stream = 0, USB = 1, TCPIP = 2, Serial = 3, Client = 4 };

enum SyncState : uint8_t {
    kInStep = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

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

    std::mutex filterLock;
    aPacketFilter userFilter = nullptr; // guarded by filterLock
    void* userReference = nullptr;      // guarded by filterLock

    std::atomic<bool> pooled{false};

    // Serialises start, stop, synchronisation, reset and teardown. The link's own threads never
    // take it. Taken before logLock, filterLock and signalLock, never after them.
    std::mutex lifecycle;

    // Wakes waiters on status changes and on thread start and end; guards nothing else.
    std::mutex signalLock;
    std::condition_variable signal;
};

using RecordPtr = std::shared_ptr<LinkRecord>;

struct Entry {
    aLinkRef id = 0;
    aLinkRef partner = 0;
    void* server = nullptr;
    void (*serverDestroy)(void*) = nullptr;
    uint32_t key = 0;
    uint16_t port = 0;
    Kind kind = Kind::Stream;
    int16_t uses = 1;
    uint32_t clientSequence = 0; // client links: never equal, so never shared
    std::string portName; // serial links: how to reopen the port on reset
    uint32_t baudIndex = 0;
    RecordPtr record;
};

struct Registry {
    std::mutex lock;          // "aLink_Managed": guards entries and nextId
    std::list<Entry> entries; // newest first
    aLinkRef nextId = 1;
    uint32_t nextClientSequence = 0;
    // Serialises creations, so two requests for one key cannot both open a stream. Taken
    // before `lock`, and never by teardown.
    std::mutex createLock;
    std::once_flag exitHook;
};

// Never destroyed: links may still run while static objects are torn down at exit.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

RecordPtr findRecord(aLinkRef id) {
    if (id == 0)
        return nullptr;
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.lock);
    for (const Entry& e : reg.entries)
        if (e.id == id)
            return e.record && e.record->check == kLinkCheck ? e.record : nullptr;
    return nullptr;
}

// The entry discipline of every call that acts on one link: hold the record for the whole call
// (so a concurrent destroy cannot free it), answer aErrParam for an unknown link and aErrUnknown
// for anything thrown.
template <typename Body> aErr withLink(aLinkRef link, Body&& body) noexcept {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        RecordPtr r = findRecord(link);
        return r ? body(r) : aErrParam;
    });
}

// ---- Status and signalling ----

void notifyAll(LinkRecord& r) {
    { std::lock_guard<std::mutex> lock(r.signalLock); }
    r.signal.notify_all();
}

void setStatus(LinkRecord& r, linkStatus status) {
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

bool live(const LinkRecord& r, uint32_t generation) {
    return r.running.load() && r.generation.load() == generation;
}

// ---- Packets ----

aErr putPacket(aPacketFifoId fifo, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &none);
    if (packet == nullptr)
        return aErrResource;
    const aErr result = aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Sends one request and takes the next incoming packet as its answer: aErrTimeout when none
// comes, aErrIO when accept refuses it.
template <typename Accept>
aErr query(LinkRecord& r, uint8_t address, uint8_t length, const uint8_t* data, Accept&& accept) {
    const aErr put = putPacket(r.outgoing, address, length, data);
    if (put != aErrNone)
        return put;
    aPacket* answer = aPacketFifo_Await(r.incoming, kReplyWaitMs);
    if (answer == nullptr)
        return aErrTimeout;
    const aErr result = accept(*answer) ? aErrNone : aErrIO;
    aPacket_Destroy(&answer);
    return result;
}

std::size_t wireBytes(const aPacket* packet, uint8_t* out) {
    // A live packet never holds more, but the bound is what keeps out[] safe.
    const uint8_t length = std::min<uint8_t>(packet->length, aPACKET_MAXDATA);
    out[0] = packet->address;
    out[1] = length;
    std::memcpy(out + 2, packet->data, length);
    return length + 2u;
}

void record(LinkRecord& r, uint8_t tag, const aPacket* packet) {
    if (!r.logging.load())
        return;
    uint8_t bytes[aPACKET_MAXWIRE];
    const std::size_t n = wireBytes(packet, bytes);
    std::lock_guard<std::mutex> lock(r.logLock);
    if (r.log != nullptr)
        aPacketLog_Put(r.log, tag, static_cast<uint8_t>(n), bytes);
}

bool matchAll(const aPacket*, void*) {
    return true;
}

// ---- Reader thread ----

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

// The reader's own synchronisation state; each reader thread has its own, so a reader that
// outlived its stop shares none of it with the reader of the next start.
struct SyncProgress {
    uint8_t state = kInStep; // a fresh link is taken to be in step
    uint8_t address = 0;     // seen in the first answer byte
    Clock::time_point lastRequest{};
};

// Starts synchronisation over. Requests go out unless the last ones left less than spacing
// ago; their answers may still be on the way, so the state machine waits for them instead.
void restartSync(LinkRecord& r, SyncProgress& sync, aPacket* assembly,
                 Clock::duration spacing = kSyncRespace) {
    setStatus(r, LINK_SYNCING);
    sync.state = kSyncStateStart;
    aPacket_Reset(assembly);
    if (Clock::now() - sync.lastRequest < spacing) {
        sync.state = kSyncStateByte1;
        return;
    }
    aErr result = aErrNone;
    for (int i = 0; i < kSyncRequestCount; ++i)
        result = putPacket(r.outgoing, aLINK_SYNC_ADDRESS, 0, nullptr);
    sync.lastRequest = Clock::now();
    if (result == aErrNone)
        sync.state = kSyncStateByte1;
}

// In step after the module's address, 0, the same address, 0: two empty packets in a row.
void syncByte(LinkRecord& r, SyncProgress& sync, aPacket* assembly, uint8_t byte) {
    switch (sync.state) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            sync.address = byte;
            sync.state = kSyncStateByte2;
        } else {
            restartSync(r, sync, assembly);
        }
        break;
    case kSyncStateByte2: sync.state = byte == 0 ? kSyncStateByte3 : kSyncStateStart; break;
    case kSyncStateByte3:
        sync.state = byte == sync.address ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            sync.state = kInStep;
            setStatus(r, LINK_RUNNING);
        } else {
            sync.state = kSyncStateStart;
        }
        break;
    default: // kSyncStateStart, or a synchronisation asked for from outside
        restartSync(r, sync, assembly);
    }
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
    record(r, kTagReceived, packet);
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

void readerMain(RecordPtr rp, aStream* stream, aPacket* assembly, uint32_t generation,
                std::shared_ptr<std::atomic<bool>> ended) {
    LinkRecord& r = *rp;
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
            if (r.status.load() == LINK_SYNCING &&
                (sync.state == kInStep || Clock::now() - sync.lastRequest >= kSyncResend))
                restartSync(r, sync, assembly, Clock::duration::zero());
            if (canWait && idle.quiet() >= IdleBackoff::kYieldSpan) {
                const aErr waited = aStream_Wait(stream, kReadWaitMs);
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
            waitFor(r, kReadErrorPause, [&] { return !live(r, generation); });
            continue;
        }
        if (r.status.load() == LINK_SYNCING) {
            syncByte(r, sync, assembly, byte);
        } else if (aPacket_AddByte(assembly, byte) != aErrNone) {
            restartSync(r, sync, assembly); // a byte that fits no packet: out of step
        } else if (aPacket_IsComplete(assembly) && dispatch(r, assembly) != aErrNone) {
            setStatus(r, LINK_ERROR);
        }
    }
    {
        std::lock_guard<std::mutex> lock(r.signalLock);
        *ended = true;
    }
    r.signal.notify_all();
}

// ---- Writer thread ----

void writeOne(LinkRecord& r, aStream* stream, aPacket* packet) {
    uint8_t bytes[aPACKET_MAXWIRE];
    const std::size_t n = wireBytes(packet, bytes);
    record(r, kTagSent, packet);
    aStream_Write(stream, bytes, n); // a failed write loses the packet; the reader sees the fault
    aPacket_Destroy(&packet);
}

// Packets queued behind the first go out in one write, until the batch could not take another
// full packet or the FIFO is empty.
void writePooled(LinkRecord& r, aStream* stream, aPacket* first, std::vector<uint8_t>& batch) {
    std::size_t fill = 0;
    aPacket* packet = first;
    while (packet != nullptr) {
        record(r, kTagSent, packet);
        fill += wireBytes(packet, batch.data() + fill);
        aPacket_Destroy(&packet);
        if (fill > kPoolClose)
            break;
        packet = aPacketFifo_Get(r.outgoing);
    }
    aStream_Write(stream, batch.data(), fill);
}

void writerMain(RecordPtr rp, aStream* stream, uint32_t generation,
                std::shared_ptr<std::atomic<bool>> ended) {
    LinkRecord& r = *rp;
    r.writerStarted = true;
    notifyAll(r);

    std::vector<uint8_t> batch(kPoolSize);
    while (live(r, generation)) {
        aPacket* packet = aPacketFifo_Await(r.outgoing, kWriterWaitMs);
        if (packet == nullptr)
            continue;
        if (r.pooled.load())
            writePooled(r, stream, packet, batch);
        else
            writeOne(r, stream, packet);
    }
    // Stopping: what is still queued (routing off among it) goes out before the writer ends.
    if (r.generation.load() == generation)
        while (aPacket* packet = aPacketFifo_Get(r.outgoing))
            writeOne(r, stream, packet);
    {
        std::lock_guard<std::mutex> lock(r.signalLock);
        *ended = true;
    }
    r.signal.notify_all();
}

// ---- Lifecycle (callers hold r.lifecycle) ----

aErr initialise(LinkRecord& r, aStream* stream) {
    r.running = false;
    r.stream = stream;
    r.status = stream ? LINK_STOPPED : LINK_INVALID;
    r.incoming = aPacketFifo_Create();
    r.outgoing = aPacketFifo_Create();
    if (r.assembly == nullptr)
        r.assembly = aPacket_Create();
    else
        aPacket_Reset(r.assembly);
    return r.incoming && r.outgoing && r.assembly ? aErrNone : aErrResource;
}

void endThread(LinkRecord& r, std::thread& thread,
               const std::shared_ptr<std::atomic<bool>>& ended) {
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach(); // a filter stopping its own link; the thread ends when it returns
        r.abandoned = true;
        return;
    }
    if (waitFor(r, kThreadEndWait, [&] { return ended && ended->load(); })) {
        thread.join();
    } else {
        // Threads cannot be killed; this one keeps what it uses until it ends by itself.
        thread.detach();
        r.abandoned = true;
    }
}

aErr stop(LinkRecord& r) {
    const int status = r.status.load();
    if (status == LINK_STOPPING || status == LINK_STOPPED)
        return aErrNone;
    setStatus(r, LINK_STOPPING);
    // Cleared before routing off is queued, so the writer that wakes for it sees the stop
    // and does not wait another second for more.
    r.running = false;
    aErr result = aErrNone;
    const bool threads = r.reader.joinable() && r.writer.joinable();
    if (threads) {
        static const uint8_t off = 0;
        result = putPacket(r.outgoing, aLINK_ROUTING_ADDRESS, 1, &off);
    }
    notifyAll(r);
    endThread(r, r.reader, r.readerEnded);
    endThread(r, r.writer, r.writerEnded);
    // A writer that saw the stop before routing off was queued has left it to us.
    if (threads && !r.abandoned && r.stream != nullptr)
        while (aPacket* packet = aPacketFifo_Get(r.outgoing))
            writeOne(r, r.stream, packet);
    r.readerStarted = false;
    r.writerStarted = false;
    if (r.abandoned) {
        r.stream = nullptr;
        r.assembly = aPacket_Create();
        r.abandoned = false;
    } else if (r.assembly != nullptr) {
        aPacket_Reset(r.assembly);
    }
    setStatus(r, r.stream ? LINK_STOPPED : LINK_INVALID);
    return result;
}

aErr start(const RecordPtr& rp) {
    LinkRecord& r = *rp;
    if (r.running.load())
        return aErrNone;
    if (r.stream == nullptr || r.assembly == nullptr || !r.incoming || !r.outgoing)
        return aErrIndexRange; // nothing to run on: waiting for it would only take 2 s
    r.readerStarted = r.writerStarted = false;
    const uint32_t generation = ++r.generation;
    r.running = true;
    setStatus(r, LINK_STARTING);
    try {
        r.readerEnded = std::make_shared<std::atomic<bool>>(false);
        r.writerEnded = std::make_shared<std::atomic<bool>>(false);
        r.reader = std::thread(readerMain, rp, r.stream, r.assembly, generation, r.readerEnded);
        r.writer = std::thread(writerMain, rp, r.stream, generation, r.writerEnded);
    } catch (...) {
        r.running = false;
        notifyAll(r);
        endThread(r, r.reader, r.readerEnded);
        setStatus(r, LINK_STOPPED);
        return aErrResource;
    }
    const bool up = waitFor(r, kStartWait, [&] {
        return r.readerStarted.load() && r.writerStarted.load() && r.status.load() == LINK_RUNNING;
    });
    if (!up)
        return aErrIndexRange;
    static const uint8_t on = 1;
    return putPacket(r.outgoing, aLINK_ROUTING_ADDRESS, 1, &on);
}

aErr syncRecord(LinkRecord& r) {
    setStatus(r, LINK_SYNCING); // the reader restarts synchronisation at its next read
    const bool inStep = waitFor(r, kSyncWait, [&] { return r.status.load() == LINK_RUNNING; });
    // Drop the requests not yet sent and, once the module had time to answer them, the
    // surplus answers.
    aPacketFifo_DrainPackets(r.outgoing, matchAll, nullptr);
    std::this_thread::sleep_for(kSyncSettle);
    aPacketFifo_DrainPackets(r.incoming, matchAll, nullptr);
    return inStep ? aErrNone : aErrNotReady;
}

aErr teardown(Entry& entry) {
    LinkRecord& r = *entry.record;
    {
        std::lock_guard<std::mutex> lock(r.filterLock);
        r.userFilter = nullptr;
        r.userReference = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(r.lifecycle);
        stop(r);
        r.torn = true;
    }
    // Outside the lifecycle lock: the server may call back into its link while it ends, and
    // it still needs the link's FIFOs until then.
    if (entry.server != nullptr && entry.serverDestroy != nullptr)
        entry.serverDestroy(entry.server);
    aErr result = aErrUnknown;
    {
        std::lock_guard<std::mutex> lock(r.lifecycle);
        aPacketFifoId in = r.incoming.exchange(0);
        aPacketFifoId out = r.outgoing.exchange(0);
        aPacketFifo_Destroy(&in);
        result = aPacketFifo_Destroy(&out);
        if (r.assembly != nullptr)
            aPacket_Destroy(&r.assembly);
        {
            std::lock_guard<std::mutex> logLock(r.logLock);
            r.logging = false;
            aPacketLog_Destroy(&r.log);
        }
        if (r.stream != nullptr)
            aStream_Destroy(&r.stream);
        r.check = 0;
    }
    if (entry.partner != 0) {
        aLinkRef partner = entry.partner;
        aLink_Destroy(&partner);
    }
    return result;
}

// Stops every link still running when the process exits, so their threads are gone before
// the library's static objects are.
void stopAllAtExit() {
    std::vector<RecordPtr> records;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.lock);
        for (const Entry& e : reg.entries)
            records.push_back(e.record);
    }
    for (const RecordPtr& r : records) {
        std::unique_lock<std::mutex> lock(r->lifecycle, std::try_to_lock);
        if (lock.owns_lock())
            stop(*r);
    }
}

// ---- Creation ----

struct Request {
    Kind kind = Kind::Stream;
    uint32_t key = 0xFFFFFFFF;
    uint16_t port = 0;
    std::string portName;
    uint32_t baudIndex = 0;
};

bool sameLink(const Entry& e, const Request& q) {
    if (q.kind == Kind::Stream || q.kind == Kind::Client || e.kind != q.kind || e.key != q.key)
        return false;
    // Several modules may share one address on different ports (virtual modules do).
    return q.kind != Kind::TCPIP || e.port == q.port;
}

aErr openStream(const Request& q, aStream** stream) {
    switch (q.kind) {
    case Kind::USB: return aStream_CreateUSB(q.key, stream);
    case Kind::TCPIP: return aStream_CreateSocket(q.key, q.port, stream);
    case Kind::Serial:
        return aStream_CreateSerial(q.portName.c_str(), q.baudIndex, 0, 0, 0, stream);
    case Kind::Client: return aStream_CreateClient(q.key, q.port, stream);
    case Kind::Stream: break;
    }
    return aErrParam;
}

// A link over the given stream, or over one opened for the request; 0 on failure. A
// caller's stream is not destroyed on failure.
aLinkRef createLink(const Request& q, aStream* callersStream, bool synchronise) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> creating(reg.createLock);
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        for (Entry& e : reg.entries) {
            if (!sameLink(e, q))
                continue;
            if ((e.kind == Kind::USB && e.server != nullptr) || e.uses == INT16_MAX)
                return 0; // a shared module is reached through its server
            ++e.uses;
            return e.id;
        }
    }

    aStream* stream = callersStream;
    if (stream == nullptr && (openStream(q, &stream) != aErrNone || stream == nullptr))
        return 0;

    RecordPtr rp;
    aLinkRef id = 0;
    try {
        rp = std::make_shared<LinkRecord>();
        Entry entry;
        entry.kind = q.kind;
        entry.key = q.key;
        entry.port = q.port;
        entry.portName = q.portName;
        entry.baudIndex = q.baudIndex;
        entry.record = rp;
        std::lock_guard<std::mutex> lock(reg.lock);
        if (q.kind == Kind::Client)
            entry.clientSequence = reg.nextClientSequence++;
        entry.id = reg.nextId;
        reg.entries.push_front(std::move(entry));
        id = reg.nextId++;
        if (reg.nextId == 0)
            reg.nextId = 1;
        rp->id = id;
    } catch (...) {
        // Not registered: a stream opened here is closed again, a caller's stays theirs.
        if (callersStream == nullptr)
            aStream_Destroy(&stream);
        return 0;
    }

    aErr result;
    {
        std::lock_guard<std::mutex> lock(rp->lifecycle);
        result = initialise(*rp, stream);
        if (result == aErrNone)
            std::call_once(reg.exitHook, [] { std::atexit(stopAllAtExit); });
        if (result == aErrNone)
            result = start(rp);
        if (result == aErrNone && synchronise)
            result = syncRecord(*rp);
        if (result != aErrNone && callersStream != nullptr) {
            stop(*rp);
            rp->stream = nullptr; // handed back to the caller
        }
    }
    if (result != aErrNone) {
        aLinkRef doomed = id;
        aLink_Destroy(&doomed);
        return 0;
    }
    return id;
}

} // namespace

// ---- Library calls ----

aLinkRef aLink_Create(aStream* stream) {
    return corvane::guardedValue<aLinkRef>(0, [&]() -> aLinkRef {
        if (!aStream_IsValid(stream))
            return 0; // a destroyed or foreign handle would only fail every read and write
        return createLink(Request{}, stream, false);
    });
}

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
    return corvane::guardedValue<aLinkRef>(0, [&] {
        Request q;
        q.kind = Kind::USB;
        q.key = serialNumber;
        return createLink(q, nullptr, true);
    });
}

aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port) {
    return corvane::guardedValue<aLinkRef>(0, [&] {
        Request q;
        q.kind = Kind::TCPIP;
        q.key = address;
        q.port = port;
        return createLink(q, nullptr, false);
    });
}

aLinkRef aLink_CreateSerial(uint32_t key, const char* portName, uint32_t baudRate) {
    return corvane::guardedValue<aLinkRef>(0, [&]() -> aLinkRef {
        if (portName == nullptr)
            return 0;
        Request q;
        q.kind = Kind::Serial;
        q.key = key;
        q.portName = portName;
        q.baudIndex = aSTREAM_SERIAL_BAUD_COUNT;
        for (uint32_t i = 0; i < aSTREAM_SERIAL_BAUD_COUNT; ++i)
            if (aStream_SerialBaudRates[i] == baudRate)
                q.baudIndex = i;
        if (q.baudIndex == aSTREAM_SERIAL_BAUD_COUNT)
            return 0;
        return createLink(q, nullptr, false);
    });
}

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing) {
    return corvane::guardedValue<aLinkRef>(0, [&]() -> aLinkRef {
        if (existing != 0)
            return findRecord(existing) ? existing : 0;
        Request q;
        q.kind = Kind::Client;
        q.key = address;
        q.port = port;
        return createLink(q, nullptr, false);
    });
}

aErr aLink_Destroy(aLinkRef* link) {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        if (link == nullptr)
            return aErrParam;
        const aLinkRef id = *link;
        *link = 0;
        Entry removed;
        {
            Registry& reg = registry();
            std::lock_guard<std::mutex> lock(reg.lock);
            auto it = reg.entries.begin();
            while (it != reg.entries.end() && it->id != id)
                ++it;
            if (id == 0 || it == reg.entries.end())
                return aErrParam;
            if (--it->uses > 0)
                return aErrNone;
            removed = std::move(*it);
            reg.entries.erase(it);
        }
        if (!removed.record)
            return aErrUnknown;
        return teardown(removed);
    });
}

aErr aLink_Reset(aLinkRef link) {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        Request q;
        RecordPtr rp;
        {
            Registry& reg = registry();
            std::lock_guard<std::mutex> lock(reg.lock);
            for (const Entry& e : reg.entries) {
                if (e.id != link || link == 0)
                    continue;
                q.kind = e.kind;
                q.key = e.key;
                q.port = e.port;
                q.portName = e.portName;
                q.baudIndex = e.baudIndex;
                rp = e.record;
            }
        }
        if (!rp || q.kind == Kind::Stream)
            return aErrParam;
        LinkRecord& r = *rp;
        std::lock_guard<std::mutex> lock(r.lifecycle);
        if (r.torn)
            return aErrParam;
        stop(r);
        aPacketFifoId in = r.incoming.exchange(0);
        aPacketFifoId out = r.outgoing.exchange(0);
        aPacketFifo_Destroy(&in);
        aPacketFifo_Destroy(&out);
        if (r.stream != nullptr)
            aStream_Destroy(&r.stream);

        aStream* stream = nullptr;
        for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
            const aErr opened = openStream(q, &stream);
            if (opened == aErrNone && stream != nullptr)
                break;
            stream = nullptr;
            if (opened == aErrParam)
                break; // this kind of stream cannot be opened again
            std::this_thread::sleep_for(kReopenPause);
        }
        // The user filter, pooling and the debug log are the caller's settings: they stay.
        initialise(r, stream);
        return start(rp);
    });
}

linkStatus aLink_GetStatus(aLinkRef link) {
    return corvane::guardedValue<linkStatus>(LINK_INVALID, [&] {
        RecordPtr r = findRecord(link);
        return r ? static_cast<linkStatus>(r->status.load()) : LINK_INVALID;
    });
}

aErr aLink_PutPacket(aLinkRef link, const aPacket* packet) {
    return withLink(
        link, [&](const RecordPtr& r) -> aErr { return aPacketFifo_Put(r->outgoing, packet); });
}

aPacket* aLink_GetPacket(aLinkRef link) {
    return corvane::guardedValue<aPacket*>(nullptr, [&]() -> aPacket* {
        RecordPtr r = findRecord(link);
        return r ? aPacketFifo_Get(r->incoming) : nullptr;
    });
}

aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs) {
    return corvane::guardedValue<aPacket*>(nullptr, [&]() -> aPacket* {
        RecordPtr r = findRecord(link);
        return r ? aPacketFifo_Await(r->incoming, timeoutMs) : nullptr;
    });
}

aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter filter, void* reference) {
    return corvane::guardedValue<aPacket*>(nullptr, [&]() -> aPacket* {
        RecordPtr r = findRecord(link);
        return r ? aPacketFifo_GetFirst(r->incoming, filter, reference) : nullptr;
    });
}

size_t aLink_DrainPackets(aLinkRef link, aPacketFilter filter, void* reference) {
    return corvane::guardedValue<size_t>(0, [&]() -> size_t {
        RecordPtr r = findRecord(link);
        return r ? aPacketFifo_DrainPackets(r->incoming, filter, reference) : 0;
    });
}

aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter filter, void* reference,
                          uint32_t timeoutMs) {
    return corvane::guardedValue<aPacket*>(nullptr, [&]() -> aPacket* {
        RecordPtr rp = findRecord(link);
        if (!rp || filter == nullptr)
            return nullptr;
        LinkRecord& r = *rp;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        aPacket* packet = nullptr;
        while (packet == nullptr && r.running.load() && r.status.load() == LINK_RUNNING) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            packet = aPacketFifo_AwaitFirst(r.incoming, filter, reference,
                                            static_cast<uint32_t>(left.count()));
        }
        return packet;
    });
}

aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter, void* reference) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->filterLock);
        r->userFilter = filter;
        r->userReference = filter ? reference : nullptr;
        return aErrNone;
    });
}

aErr aLink_EnablePooledPackets(aLinkRef link, bool on) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        r->pooled = on;
        return aErrNone;
    });
}

aErr aLink_GetModuleAddress(aLinkRef link, uint8_t* address) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        if (address == nullptr)
            return aErrParam;
        return query(*r, aLINK_SYNC_ADDRESS, 0, nullptr, [&](const aPacket& answer) {
            if (answer.length != 0 || answer.address == 0)
                return false;
            *address = answer.address;
            return true;
        });
    });
}

aErr aLink_GetModel(aLinkRef link, uint8_t moduleAddress, uint8_t* model) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        if (model == nullptr)
            return aErrParam;
        return query(*r, moduleAddress, sizeof kModelQuery, kModelQuery,
                     [&](const aPacket& answer) {
                         if (answer.length != 4 || answer.address != moduleAddress ||
                             answer.data[0] != kCmdSystem)
                             return false;
                         *model = answer.data[3];
                         return true;
                     });
    });
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef link, int32_t size) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        if (size > kMaxLogSize)
            return aErrParam;
        std::lock_guard<std::mutex> lock(r->logLock);
        if (r->log != nullptr)
            return aErrBusy;
        r->logSize = size < 0 ? 0 : static_cast<std::size_t>(size);
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Enable(aLinkRef link) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->logLock);
        if (r->log == nullptr) {
            r->log = aPacketLog_Create(r->logSize ? r->logSize : kDefaultLogSize);
            if (r->log == nullptr)
                return aErrResource;
        }
        aPacketLog_SetEnabled(r->log, true);
        r->logging = true;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Disable(aLinkRef link) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->logLock);
        if (r->log == nullptr)
            return aErrNotReady;
        aPacketLog_SetEnabled(r->log, false);
        r->logging = false;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(aLinkRef link, uint8_t* tag, uint8_t* length, uint8_t* buffer) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->logLock);
        if (r->log == nullptr)
            return aErrNotReady;
        return aPacketLog_Get(r->log, tag, length, buffer);
    });
}

aErr aLink_PacketDebug_Write(aLinkRef link, uint8_t tag, uint8_t length, const uint8_t* data) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->logLock);
        if (r->log == nullptr)
            return aErrNotReady;
        return aPacketLog_Put(r->log, tag, length, data);
    });
}

// ---- Internal calls ----

aErr aLink_Start(aLinkRef link) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->lifecycle);
        return r->torn ? aErrParam : start(r);
    });
}

aErr aLink_Stop(aLinkRef link) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->lifecycle);
        return stop(*r);
    });
}

aErr aLink_Sync(aLinkRef link) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->lifecycle);
        if (!r->running.load())
            return aErrNotReady;
        return syncRecord(*r);
    });
}

aErr aLink_SetPartner(aLinkRef link, aLinkRef partner) {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.lock);
        for (Entry& e : reg.entries) {
            if (e.id == link && link != 0) {
                e.partner = partner;
                return aErrNone;
            }
        }
        return aErrParam;
    });
}

aErr aLink_AttachServer(aLinkRef link, void* server, void (*destroy)(void*)) {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.lock);
        for (Entry& e : reg.entries) {
            if (e.id == link && link != 0) {
                e.server = server;
                e.serverDestroy = server ? destroy : nullptr;
                return aErrNone;
            }
        }
        return aErrParam;
    });
}
