// Fuzz entry for the link engine's reader: arbitrary bytes from a module, in arbitrary chunks,
// through packet framing, heartbeat answers, synchronisation and the FIFOs.
#pragma once

#include "aLinkEngine.h"
#include "aStream_Internal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

namespace fuzzlink {

// Every packet the reader framed, as its user filter saw it (the filter takes none).
struct Framed {
    std::deque<aPacket> packets; // not yet matched against the FIFOs
    uint64_t bytes = 0;
    bool malformed = false;
};

inline bool observe(const aPacket* packet, void* reference) {
    auto& framed = *static_cast<Framed*>(reference);
    if (!aVALIDPACKET(packet) || packet->length > aPACKET_MAXDATA ||
        packet->count != packet->length + 2 || packet->address == 0 || (packet->address & 1) != 0) {
        framed.malformed = true;
        return false;
    }
    framed.packets.push_back(*packet);
    framed.bytes += packet->count;
    return false;
}

inline bool isHeartbeat(const aPacket& packet) {
    return packet.length == 2 && packet.data[0] == 0;
}

inline bool samePacket(const aPacket& a, const aPacket& b) {
    return a.address == b.address && a.length == b.length &&
           std::memcmp(a.data, b.data, a.length) == 0;
}

// The stream the read path is made over; the bytes come from the input, never from it.
inline aErr nothing(uint8_t*, void*) {
    return aErrNotReady;
}

// The engine's timing, restored when the input is done: other targets share the process.
class PaceScope {
  public:
    explicit PaceScope(uint32_t ms) : saved_(aLink_GetTiming()) {
        aLinkTiming timing = saved_;
        timing.syncResendMs = ms;
        timing.syncRespaceMs = ms;
        aLink_SetTiming(timing);
    }
    ~PaceScope() { aLink_SetTiming(saved_); }
    PaceScope(const PaceScope&) = delete;
    PaceScope& operator=(const PaceScope&) = delete;

  private:
    aLinkTiming saved_;
};

// Matches the FIFOs against what was framed since the last look, emptying both: the incoming
// FIFO holds exactly the framed packets that are no heartbeats, in order; the outgoing one the
// heartbeats' answers, in order, among whole sets of synchronisation requests.
inline std::string settle(corvane::link::LinkRecord& r, Framed& framed) {
    std::deque<aPacket> answers;
    const size_t waiting = aPacketFifo_GetLength(r.incoming);
    size_t expected = 0;
    while (!framed.packets.empty()) {
        const aPacket packet = framed.packets.front();
        framed.packets.pop_front();
        if (isHeartbeat(packet)) {
            answers.push_back(packet);
            continue;
        }
        ++expected;
        aPacket* got = aPacketFifo_Get(r.incoming);
        if (got == nullptr) {
            return "a framed packet is missing from the incoming FIFO";
        }
        const bool same = samePacket(*got, packet) && got->count == packet.count;
        aPacket_Destroy(&got);
        if (!same) {
            return "the incoming FIFO holds another packet than the one framed";
        }
    }
    if (waiting != expected || aPacketFifo_GetLength(r.incoming) != 0) {
        return "the incoming FIFO counts " + std::to_string(waiting) + " packets for " +
               std::to_string(expected) + " framed";
    }
    size_t requests = 0;
    while (aPacket* out = aPacketFifo_Get(r.outgoing)) {
        const aPacket packet = *out;
        aPacket_Destroy(&out);
        if (packet.address == aLINK_SYNC_ADDRESS && packet.length == 0) {
            ++requests;
            continue;
        }
        if (answers.empty()) {
            return "the outgoing FIFO holds a packet nobody asked for";
        }
        const aPacket& heartbeat = answers.front();
        const uint8_t expectedAnswer[2] = {0, static_cast<uint8_t>(heartbeat.data[1] + 2)};
        if (packet.address != heartbeat.address || packet.length != 2 ||
            std::memcmp(packet.data, expectedAnswer, 2) != 0) {
            return "a heartbeat got another answer";
        }
        answers.pop_front();
    }
    if (!answers.empty()) {
        return "a heartbeat went unanswered";
    }
    if (requests % corvane::link::kSyncRequestCount != 0) {
        return "synchronisation requests went out short of a set";
    }
    return {};
}

} // namespace fuzzlink

// The first byte shapes the run: bits 0-2 the longest chunk (1 to 128 bytes; the chunk sizes
// follow from the whole byte), bit 3 an empty read after every chunk, bit 4 the pace of the
// synchronisation requests (due at every occasion, or only the first time), bit 5 a
// synchronisation asked for from outside before the first byte. The rest is what the module
// sends. After every chunk, every byte taken apart is in a framed packet, in the packet being
// assembled or counted as discarded; no packet is longer than its maximum; the FIFOs hold what
// was framed.
inline std::string fuzzLinkStream(const uint8_t* data, size_t size) {
    using namespace corvane::link;
    using namespace fuzzlink;
    if (size == 0) {
        return {};
    }
    const uint8_t shape = data[0];
    // At most 128 bytes a chunk: with the requests due at every occasion a byte may draw six
    // of them, and more than 1000 packets before the writer takes any would overrun the
    // outgoing FIFO, which a real pace of requests never does.
    const size_t longest = size_t{1} << (shape & 7);
    PaceScope pace((shape & 0x10) != 0 ? 3600000u : 0u);

    static const aStreamKind kind{.get = nothing};
    LinkRecord r;
    if (initialise(r, aStream_CreateOfKind(kind, nullptr)) != aErrNone || r.stream == nullptr) {
        releaseRecord(r);
        return "the link record could not be made";
    }
    Framed framed;
    r.userFilter = observe;
    r.userReference = &framed;
    r.userFilterSet = true;
    r.status = LINK_RUNNING; // as the reader thread starts
    if ((shape & 0x20) != 0) {
        r.syncRequestsQueued = true; // as aLink_Sync leaves it
        r.status = LINK_SYNCING;
    }
    std::shared_ptr<ReadPath> path = makeReadPath(r.stream, r.assembly, r.generation);
    std::string problem;

    uint32_t random = 0x9E3779B9u ^ shape;
    uint64_t fed = 0;
    for (size_t at = 1; at < size && problem.empty();) {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        const size_t chunk = std::min<size_t>(1 + random % longest, size - at);
        takeApart(r, *path, data + at, chunk);
        if ((shape & 8) != 0) {
            takeSilence(r, *path);
        }
        at += chunk;
        fed += chunk;
        if (framed.malformed) {
            problem = "a framed packet is malformed or longer than its maximum";
        } else if (r.assembly->count > aPACKET_MAXWIRE) {
            problem = "the packet being assembled is longer than its maximum";
        } else if (framed.bytes + discardedBytes(*path) + r.assembly->count != fed) {
            problem = std::to_string(fed) + " bytes taken apart, " + std::to_string(framed.bytes) +
                      " framed, " + std::to_string(discardedBytes(*path)) + " discarded, " +
                      std::to_string(r.assembly->count) + " assembled";
        } else {
            problem = settle(r, framed);
        }
    }
    path.reset();
    releaseRecord(r);
    return problem;
}
