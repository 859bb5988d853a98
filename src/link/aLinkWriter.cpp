// The link writer thread: sends queued packets one write each, or pooled into batches, and
// everything still queued when the link stops.
#include "aLinkEngine.h"
#include "aPacketFifoInternal.h"
#include "aStream_Internal.h"

#include <algorithm>
#include <vector>

namespace corvane::link {

namespace {

constexpr std::size_t kPoolSize = 4096;
// A coalescing stream takes bigger batches: a 16 KiB run costs its peer one wake-up.
constexpr std::size_t kCoalesceSize = 16384;
// Packets taken off the outgoing FIFO at once: more than a coalesced batch of the largest.
constexpr std::size_t kTakeMax = 600;

// The packets taken off the outgoing FIFO and not yet written; refills without waiting.
class Taken {
  public:
    explicit Taken(aPacketFifoId fifo) : fifo_(fifo), packets_(kTakeMax) {}
    // Waits up to waitMs for the first packets.
    bool await(uint32_t waitMs) {
        next_ = 0;
        count_ = aPacketFifo_TakeUpTo(fifo_, packets_.data(), packets_.size(), waitMs);
        return count_ > 0;
    }
    // The next packet, taking more from the FIFO when these are used up; null when it is empty.
    const aPacket* next() {
        if (next_ == count_ && !await(0))
            return nullptr;
        return &packets_[next_++];
    }
    bool empty() const { return next_ == count_; }

  private:
    aPacketFifoId fifo_;
    std::vector<aPacket> packets_;
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

// Packets queued go out in one batch, closed once it could not take another full packet or
// when the FIFO is empty.
void writePooled(LinkRecord& r, aStream* stream, Taken& taken, std::vector<uint8_t>& batch) {
    const std::size_t close = batch.size() - aPACKET_MAXWIRE; // one more might not fit
    std::size_t fill = 0;
    while (fill <= close) {
        const aPacket* packet = taken.next();
        if (packet == nullptr)
            break;
        logPacket(r, kTagSent, packet);
        fill += wireBytes(packet, batch.data() + fill);
    }
    aStream_Write(stream, batch.data(), fill);
}

} // namespace

void writeOne(LinkRecord& r, aStream* stream, const aPacket& packet) {
    uint8_t bytes[aPACKET_MAXWIRE];
    const std::size_t n = wireBytes(&packet, bytes);
    logPacket(r, kTagSent, &packet);
    aStream_Write(stream, bytes, n); // a failed write loses the packet; the reader sees the fault
}

void writerMain(RecordPtr rp, aStream* stream, uint32_t generation,
                std::shared_ptr<std::atomic<bool>> ended) {
    LinkRecord& r = *rp;
    const uint32_t waitMs = currentTiming().writerWaitMs;
    // A stream whose writes may start anywhere in the byte stream (a TCP socket) takes its
    // packets in batches whether or not pooling was asked for: one system call and one wake-up
    // of the module per batch instead of per packet, with the same bytes on the wire.
    const bool coalescing = aStream_IsCoalescing(stream);
    r.writerStarted = true;
    notifyAll(r);

    Taken taken(r.outgoing);
    std::vector<uint8_t> batch(coalescing ? kCoalesceSize : kPoolSize);
    while (live(r, generation)) {
        if (taken.empty() && !taken.await(waitMs))
            continue;
        if (coalescing || r.pooled.load())
            writePooled(r, stream, taken, batch);
        else
            writeOne(r, stream, *taken.next());
    }
    // Stopping: what is still queued (routing off among it) goes out before the writer ends.
    if (r.generation.load() == generation) {
        while (!taken.empty())
            writeOne(r, stream, *taken.next());
        while (aPacket* packet = aPacketFifo_Get(r.outgoing)) {
            writeOne(r, stream, *packet);
            aPacket_Destroy(&packet);
        }
    }
    markEnded(r, *ended);
}

} // namespace corvane::link

using namespace corvane::link;

aErr aLink_PutPackets(aLinkRef link, const aPacket* packets, size_t count, uint32_t idleMs) {
    if (packets == nullptr && count > 0)
        return aErrParam;
    return withLink(link, [&](const RecordPtr& r) -> aErr {
        // Batches that leave the FIFO room to spare, so the writer takes one while the next
        // is queued.
        constexpr std::size_t kBatch = aPACKETFIFO_MAXPACKETS / 2;
        for (std::size_t done = 0; done < count;) {
            const std::size_t n = std::min(kBatch, count - done);
            if (aPacketFifo_GetLength(r->outgoing) + n > aPACKETFIFO_MAXPACKETS) {
                if (const aErr err = aPacketFifo_AwaitRoom(r->outgoing, n, idleMs); err != aErrNone)
                    return err;
            }
            if (const aErr err = aPacketFifo_PutAll(r->outgoing, packets + done, n);
                err != aErrNone)
                return err;
            done += n;
        }
        return aErrNone;
    });
}
