// The process-wide link registry: entries keyed by what they connect to, use counts, and the
// creation, start, stop, synchronisation, teardown and reset of links. The registry lock is held
// only while the list is searched or changed, never while a stream opens or a link starts or stops.
#include "aAtExit.h"
#include "aLinkEngine.h"
#include "aStream_Internal.h"
#include "corvane/aServer.h" // aStream_CreateClient

#include <cstdlib>
#include <list>
#include <string>
#include <vector>

namespace corvane::link {

namespace {

using namespace std::chrono_literals;

enum class Kind : uint8_t { Stream = 0, USB = 1, TCPIP = 2, Serial = 3, Client = 4 };

// What a caller asked for; an entry keeps it to find equal requests and to reopen its stream.
struct Request {
    Kind kind = Kind::Stream;
    uint32_t key = 0xFFFFFFFF;   // serial number, or IPv4 address for TCP/IP and client links
    uint16_t port = 0;           // TCP/IP and client links
    uint32_t clientSequence = 0; // client links: a fresh one each, so they are never shared
    std::string portName;        // serial
    uint32_t baudIndex = 0;      // serial
};

struct Entry {
    aLinkRef id = 0;
    Request request;
    aLinkRef partner = 0;
    void* server = nullptr;
    void (*serverDestroy)(void*) = nullptr;
    int16_t uses = 1;
    bool ready = false; // its creation finished; until then nobody else may use it
    RecordPtr record;
};

struct Registry {
    std::mutex lock;          // "aLink_Managed": guards entries and nextId
    std::list<Entry> entries; // newest first
    aLinkRef nextId = 1;
    uint32_t nextClientSequence = 0;
    // Signalled (under lock) when a creation ends, so equal requests waiting for it go on.
    std::condition_variable created;
    std::once_flag exitHook;
};

// A creation waiting for an equal one in progress gives up after this long. The one in
// progress is bounded by its own stream's and start's waits, well below it.
constexpr auto kCreationWait = 60s;

// Never destroyed: links may still run while static objects are torn down at exit.
CORVANE_HOT_PATH Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

CORVANE_HOT_PATH std::list<Entry>::iterator findEntry(Registry& reg, aLinkRef id) {
    auto it = reg.entries.begin();
    while (it != reg.entries.end() && !(it->id == id && id != 0))
        ++it;
    return it;
}

bool sameLink(const Request& e, const Request& q) {
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

// Stops every link still running when the process exits, so their threads are gone before
// the library's static objects are.
void stopAllAtExit() {
    std::vector<RecordPtr> records;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.lock);
        for (const Entry& e : reg.entries)
            if (e.record)
                records.push_back(e.record);
    }
    for (const RecordPtr& r : records) {
        std::unique_lock<std::mutex> lock(r->lifecycle, std::try_to_lock);
        if (lock.owns_lock())
            stop(*r);
    }
}

// Takes one more use of a ready entry equal to the request, or registers a new entry that is
// not ready yet. Waits while an equal request is being created elsewhere. Returns the id
// and whether it is new; 0 when the request cannot be served.
std::pair<aLinkRef, bool> claim(const Request& q, const RecordPtr& rp) {
    Registry& reg = registry();
    std::unique_lock<std::mutex> lock(reg.lock);
    const auto deadline = Clock::now() + kCreationWait;
    for (;;) {
        Entry* pending = nullptr;
        for (Entry& e : reg.entries) {
            if (!sameLink(e.request, q))
                continue;
            if (!e.ready) {
                pending = &e;
                break;
            }
            if ((q.kind == Kind::USB && e.server != nullptr) || e.uses == INT16_MAX)
                return {0, false}; // a shared module is reached through its server
            ++e.uses;
            return {e.id, false};
        }
        if (pending == nullptr)
            break;
        if (reg.created.wait_until(lock, deadline) == std::cv_status::timeout)
            return {0, false};
    }
    Entry entry;
    entry.request = q;
    if (q.kind == Kind::Client)
        entry.request.clientSequence = reg.nextClientSequence++;
    entry.record = rp;
    entry.id = reg.nextId++;
    if (reg.nextId == 0)
        reg.nextId = 1;
    rp->id = entry.id;
    reg.entries.push_front(std::move(entry));
    return {rp->id, true};
}

// Ends a creation: the entry becomes usable, or (on failure) leaves the registry.
void settle(aLinkRef id, bool ok) {
    Registry& reg = registry();
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        auto it = findEntry(reg, id);
        if (it != reg.entries.end()) {
            if (ok)
                it->ready = true;
            else
                reg.entries.erase(it);
        }
    }
    reg.created.notify_all();
}

// A link over the given stream, or over one opened for the request; 0 on failure. A
// caller's stream is not destroyed on failure.
aLinkRef createLink(const Request& q, aStream* callersStream, bool synchronised) {
    RecordPtr rp = std::make_shared<LinkRecord>();
    const auto [id, isNew] = claim(q, rp);
    if (!isNew)
        return id;

    aStream* stream = callersStream;
    aErr result = aErrNone;
    if (stream == nullptr && (openStream(q, &stream) != aErrNone || stream == nullptr))
        result = aErrResource;
    {
        std::lock_guard<std::mutex> lock(rp->lifecycle);
        if (result == aErrNone)
            result = initialise(*rp, stream);
        if (result == aErrNone)
            std::call_once(registry().exitHook, [] {
                std::atexit(stopAllAtExit);
                // The sharing sockets close at exit only once the links' threads are gone.
                corvane::atExitStopLinksWith(aLink_StopAll);
            });
        if (result == aErrNone)
            result = start(rp);
        if (result == aErrNone && synchronised)
            result = synchronise(*rp);
        if (result != aErrNone) {
            stop(*rp);
            if (callersStream != nullptr)
                rp->stream = nullptr; // handed back to the caller
            rp->torn = true;
            releaseRecord(*rp);
        }
    }
    settle(id, result == aErrNone);
    return result == aErrNone ? id : 0;
}

aErr teardown(Entry& entry) {
    LinkRecord& r = *entry.record;
    {
        std::lock_guard<std::mutex> lock(r.filterLock);
        r.userFilter = nullptr;
        r.userReference = nullptr;
        r.addedFilters.clear();
        r.userFilterSet = false;
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
    aErr result;
    {
        std::lock_guard<std::mutex> lock(r.lifecycle);
        result = releaseRecord(r);
    }
    if (entry.partner != 0) {
        aLinkRef partner = entry.partner;
        aLink_Destroy(&partner);
    }
    return result;
}

// Sets one field of a ready entry under the registry lock; aErrParam for an unknown link.
template <typename Change> aErr changeEntry(aLinkRef link, Change&& change) {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.lock);
        auto it = findEntry(reg, link);
        if (it == reg.entries.end() || !it->ready)
            return aErrParam;
        change(*it);
        return aErrNone;
    });
}

} // namespace

CORVANE_HOT_PATH RecordPtr findRecord(aLinkRef id) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.lock);
    auto it = findEntry(reg, id);
    if (it == reg.entries.end() || !it->ready || !it->record || it->record->check != kLinkCheck)
        return nullptr;
    return it->record;
}

} // namespace corvane::link

using namespace corvane::link;

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

aLinkRef aLink_UseServedUSB(uint32_t serialNumber, void** server) {
    return corvane::guardedValue<aLinkRef>(0, [&]() -> aLinkRef {
        if (server == nullptr)
            return 0;
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.lock);
        for (Entry& e : reg.entries) {
            if (e.ready && e.request.kind == Kind::USB && e.request.key == serialNumber &&
                e.server != nullptr && e.uses < INT16_MAX) {
                ++e.uses;
                *server = e.server;
                return e.id;
            }
        }
        return 0;
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
            auto it = findEntry(reg, id);
            if (it == reg.entries.end() || !it->ready)
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
        return synchronise(*r);
    });
}

aErr aLink_Reset(aLinkRef link) {
    return corvane::guardedValue<aErr>(aErrUnknown, [&]() -> aErr {
        Request q;
        RecordPtr rp;
        {
            Registry& reg = registry();
            std::lock_guard<std::mutex> lock(reg.lock);
            auto it = findEntry(reg, link);
            if (it == reg.entries.end() || !it->ready)
                return aErrParam;
            q = it->request;
            rp = it->record;
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

        const aLinkTiming timing = currentTiming();
        aStream* stream = nullptr;
        for (int attempt = 0; attempt < 20; ++attempt) {
            const aErr opened = openStream(q, &stream);
            if (opened == aErrNone && stream != nullptr)
                break;
            stream = nullptr;
            if (opened == aErrParam)
                break; // this kind of stream cannot be opened again
            std::this_thread::sleep_for(Millis(timing.reopenPauseMs));
        }
        // The user filter, pooling and the debug log are the caller's settings: they stay.
        initialise(r, stream);
        return start(rp);
    });
}

aErr aLink_SetPartner(aLinkRef link, aLinkRef partner) {
    return changeEntry(link, [&](Entry& e) { e.partner = partner; });
}

aErr aLink_AttachServer(aLinkRef link, void* server, void (*destroy)(void*)) {
    return changeEntry(link, [&](Entry& e) {
        e.server = server;
        e.serverDestroy = server ? destroy : nullptr;
    });
}

void aLink_StopAll() {
    corvane::guardedValue<int>(0, [] {
        stopAllAtExit();
        return 0;
    });
}
