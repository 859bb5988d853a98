// The link writer thread: sends queued packets one write each, or pooled into batches, and
// everything still queued when the link stops.
#include "aLinkEngine.h"

#include <vector>

namespace corvane::link {

namespace {

constexpr std::size_t kPoolSize = 4096;
constexpr std::size_t kPoolClose = kPoolSize - aPACKET_MAXWIRE; // 4066: one more may not fit

// Packets queued behind the first go out in one write, until the batch could not take another
// full packet or the FIFO is empty.
void writePooled(LinkRecord& r, aStream* stream, aPacket* first, std::vector<uint8_t>& batch) {
    std::size_t fill = 0;
    aPacket* packet = first;
    while (packet != nullptr) {
        logPacket(r, kTagSent, packet);
        fill += wireBytes(packet, batch.data() + fill);
        aPacket_Destroy(&packet);
        if (fill > kPoolClose)
            break;
        packet = aPacketFifo_Get(r.outgoing);
    }
    aStream_Write(stream, batch.data(), fill);
}

} // namespace

void writeOne(LinkRecord& r, aStream* stream, aPacket* packet) {
    uint8_t bytes[aPACKET_MAXWIRE];
    const std::size_t n = wireBytes(packet, bytes);
    logPacket(r, kTagSent, packet);
    aStream_Write(stream, bytes, n); // a failed write loses the packet; the reader sees the fault
    aPacket_Destroy(&packet);
}

void writerMain(RecordPtr rp, aStream* stream, uint32_t generation,
                std::shared_ptr<std::atomic<bool>> ended) {
    LinkRecord& r = *rp;
    const uint32_t waitMs = currentTiming().writerWaitMs;
    r.writerStarted = true;
    notifyAll(r);

    std::vector<uint8_t> batch(kPoolSize);
    while (live(r, generation)) {
        aPacket* packet = aPacketFifo_Await(r.outgoing, waitMs);
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
    markEnded(r, *ended);
}

} // namespace corvane::link
