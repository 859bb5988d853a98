// Link calls on a running link: its outgoing and incoming packets, reads for a waiting caller,
// the packet filters and pooling, the module address and model queries, and the packet debug log.
#include "aLinkEngine.h"
#include "aPacketFifoInternal.h"

namespace corvane::link {

namespace {

constexpr int32_t kMaxLogSize = 0x4000000;
constexpr std::size_t kDefaultLogSize = 0x10000;

constexpr uint8_t kModelQuery[] = {0x03, 0x48, 0x20};
constexpr uint8_t kCmdSystem = 0x03;

aErr sendPacket(LinkRecord& r, uint8_t address, uint8_t length, const uint8_t* data);

// Waits until deadline for what take finds in the incoming FIFO: take(ms, seen) is one wait of
// ms milliseconds (0: a look) that also ends once r.nudges is no longer seen, and its result
// ends the loop once it is not empty. While the stream is the caller's to read, the caller reads
// it itself between looks rather than sleep until the reader thread hands it the packet.
// inStep: give up as soon as the link does not run in step. Runs within the caller's wait.
template <typename T, typename Take>
CORVANE_HOT_PATH T awaitIncoming(const IncomingWait&, LinkRecord& r, Clock::time_point deadline,
                                 bool inStep, Take&& take) {
    for (;;) {
        if (inStep && !(r.running.load() && r.status.load() == LINK_RUNNING))
            return T{};
        const uint64_t seen = r.nudges.load();
        if (T result = take(0, seen))
            return result;
        const auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
        if (left <= 0)
            return T{};
        if (readForCaller(r, static_cast<uint32_t>(left)))
            continue;
        ++r.sleepers;
        T result = take(static_cast<uint32_t>(left), seen);
        --r.sleepers;
        if (result)
            return result;
    }
}

aPacket* awaitFirstIncoming(const IncomingWait& waiting, LinkRecord& r, aPacketFilter filter,
                            void* reference, Clock::time_point deadline, bool inStep) {
    return awaitIncoming<aPacket*>(waiting, r, deadline, inStep, [&](uint32_t ms, uint64_t seen) {
        return aPacketFifo_AwaitFirstUnless(r.incoming, filter, reference, ms, r.nudges, seen);
    });
}

// The next incoming packet, copied into out; false when none came by the deadline.
CORVANE_HOT_PATH bool awaitNextIncomingInto(const IncomingWait& waiting, LinkRecord& r,
                                            Clock::time_point deadline, aPacket* out) {
    return awaitIncoming<bool>(waiting, r, deadline, false, [&](uint32_t ms, uint64_t seen) {
        return aPacketFifo_AwaitFirstUnlessInto(r.incoming, matchAll, nullptr, ms, r.nudges, seen,
                                                out);
    });
}

// A module answers the address request with two empty packets: the second is left behind
// when the first is taken, and answers no later query.
CORVANE_HOT_PATH bool isAddressAnswer(const aPacket* packet, void*) {
    return packet->length == 0 && packet->address != 0 && (packet->address & 1) == 0;
}

void dropAddressAnswers(LinkRecord& r) {
    aPacketFifo_DrainPackets(r.incoming, isAddressAnswer, nullptr);
}

// Sends one request and takes the next incoming packet but a leftover address answer as its
// answer: aErrTimeout when none comes, aErrIO when accept refuses it.
template <typename Accept>
CORVANE_HOT_PATH aErr query(LinkRecord& r, uint8_t address, uint8_t length, const uint8_t* data,
                            Accept&& accept) {
    const IncomingWait waiting(r);
    const aErr put = sendPacket(r, address, length, data);
    if (put != aErrNone)
        return put;
    const auto deadline = Clock::now() + Millis(currentTiming().replyWaitMs);
    aPacket answer;
    do {
        if (!awaitNextIncomingInto(waiting, r, deadline, &answer))
            return aErrTimeout;
    } while (address != aLINK_SYNC_ADDRESS && isAddressAnswer(&answer, nullptr));
    return accept(answer) ? aErrNone : aErrIO;
}

// Runs body on a link's record; the value of fallback for an unknown link or anything thrown.
template <typename T, typename Body> T onRecord(aLinkRef link, T fallback, Body&& body) noexcept {
    return corvane::guardedValue<T>(fallback, [&]() -> T {
        RecordPtr r = findRecord(link);
        return r ? body(*r) : fallback;
    });
}

// Sends one packet: written at once by this thread when the writer idles, else queued.
CORVANE_HOT_PATH aErr sendPacket(LinkRecord& r, uint8_t address, uint8_t length,
                                 const uint8_t* data) {
    aPacket packet{};
    packet.check = aPACKET_CHECK;
    packet.address = address;
    packet.length = length;
    packet.count = static_cast<uint8_t>(length + 2);
    if (length > 0)
        std::memcpy(packet.data, data, length);
    if (writeNow(r, &packet, 1))
        return aErrNone;
    return aPacketFifo_Put(r.outgoing, &packet);
}

} // namespace

} // namespace corvane::link

using namespace corvane::link;

linkStatus aLink_GetStatus(aLinkRef link) {
    return onRecord(link, LINK_INVALID,
                    [](LinkRecord& r) { return static_cast<linkStatus>(r.status.load()); });
}

aErr aLink_PutPacket(aLinkRef link, const aPacket* packet) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        if (aVALIDPACKET(packet) && writeNow(*r, packet, 1))
            return aErrNone;
        return aPacketFifo_Put(r->outgoing, packet);
    });
}

aErr aLink_PutPackets(aLinkRef link, const aPacket* packets, size_t count, uint32_t idleMs) {
    if (packets == nullptr && count > 0)
        return aErrParam;
    for (size_t i = 0; i < count; ++i)
        if (!aVALIDPACKET(&packets[i]))
            return aErrParam;
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        if (count > 0 && writeNow(*r, packets, count))
            return aErrNone;
        // A full FIFO is waited on until a good share of the rest fits, so the writer sends a
        // batch while the next is queued.
        constexpr std::size_t kRefill = aPACKETFIFO_MAXPACKETS / 2;
        for (std::size_t done = 0;;) {
            done += aPacketFifo_PutWithinRoom(r->outgoing, packets + done, count - done);
            if (done == count)
                return aErrNone;
            const std::size_t wanted = std::min(kRefill, count - done);
            if (const aErr err = aPacketFifo_AwaitRoom(r->outgoing, wanted, idleMs);
                err != aErrNone)
                return err;
        }
    });
}

aPacket* aLink_GetPacket(aLinkRef link) {
    return onRecord<aPacket*>(link, nullptr,
                              [](LinkRecord& r) { return aPacketFifo_Get(r.incoming); });
}

aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs) {
    return onRecord<aPacket*>(link, nullptr, [&](LinkRecord& r) {
        const IncomingWait waiting(r);
        return awaitFirstIncoming(waiting, r, corvane::matchAll, nullptr,
                                  Clock::now() + Millis(timeoutMs), false);
    });
}

aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter filter, void* reference) {
    return onRecord<aPacket*>(link, nullptr, [&](LinkRecord& r) {
        return aPacketFifo_GetFirst(r.incoming, filter, reference);
    });
}

size_t aLink_DrainPackets(aLinkRef link, aPacketFilter filter, void* reference) {
    return onRecord<size_t>(link, 0, [&](LinkRecord& r) {
        return aPacketFifo_DrainPackets(r.incoming, filter, reference);
    });
}

aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter filter, void* reference,
                          uint32_t timeoutMs) {
    return onRecord<aPacket*>(link, nullptr, [&](LinkRecord& r) -> aPacket* {
        if (filter == nullptr)
            return nullptr;
        const IncomingWait waiting(r);
        return awaitFirstIncoming(waiting, r, filter, reference, Clock::now() + Millis(timeoutMs),
                                  true);
    });
}

size_t aLink_AwaitRun(aLinkRef link, aPacketRunFilter filter, void* reference, uint32_t timeoutMs) {
    return onRecord<size_t>(link, 0, [&](LinkRecord& r) -> size_t {
        if (filter == nullptr)
            return 0;
        const auto deadline = Clock::now() + Millis(timeoutMs);
        const IncomingWait waiting(r);
        return awaitIncoming<size_t>(waiting, r, deadline, true, [&](uint32_t ms, uint64_t seen) {
            return aPacketFifo_AwaitRunUnless(r.incoming, filter, reference, ms, r.nudges, seen);
        });
    });
}

namespace {
// Under filterLock.
void noteFilters(LinkRecord& r) {
    r.userFilterSet = r.userFilter != nullptr || !r.addedFilters.empty();
}
} // namespace

aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter, void* reference) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->filterLock);
        r->userFilter = filter;
        r->userReference = filter ? reference : nullptr;
        noteFilters(*r);
        return aErrNone;
    });
}

aErr aLink_AddPacketFilter(aLinkRef link, aPacketFilter filter, void* reference,
                           aPacketBurstEnd endOfBurst) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        if (filter == nullptr)
            return aErrParam;
        std::lock_guard<std::mutex> lock(r->filterLock);
        for (const LinkRecord::PacketFilterEntry& added : r->addedFilters)
            if (added.filter == filter && added.reference == reference)
                return aErrNone;
        r->addedFilters.push_back({filter, reference, endOfBurst});
        noteFilters(*r);
        return aErrNone;
    });
}

aErr aLink_RemovePacketFilter(aLinkRef link, aPacketFilter filter, void* reference) {
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        std::lock_guard<std::mutex> lock(r->filterLock);
        auto& added = r->addedFilters;
        const auto it = std::find_if(added.begin(), added.end(), [&](const auto& entry) {
            return entry.filter == filter && entry.reference == reference;
        });
        if (it == added.end())
            return aErrNotFound;
        added.erase(it);
        noteFilters(*r);
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
        // What an earlier request left is no answer to this one.
        dropAddressAnswers(*r);
        const aErr result = query(*r, aLINK_SYNC_ADDRESS, 0, nullptr, [&](const aPacket& answer) {
            if (answer.length != 0 || answer.address == 0)
                return false;
            *address = answer.address;
            return true;
        });
        if (result == aErrNone)
            dropAddressAnswers(*r); // the second packet, when it came with the first
        return result;
    });
}

CORVANE_HOT_PATH aErr aLink_GetModel(aLinkRef link, uint8_t moduleAddress, uint8_t* model) {
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

bool aLink_ReadAsCaller(aLinkRef link, uint32_t waitMs) {
    return corvane::guardedValue<bool>(false, [&] {
        const RecordPtr r = findRecord(link);
        if (!r)
            return false;
        IncomingWait waiting(*r);
        return readForCaller(*r, waitMs);
    });
}
