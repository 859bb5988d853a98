// The link writer thread: sends queued packets one write each, or pooled into batches, and
// everything still queued when the link stops; and a caller's own write when the writer idles.
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
    // A take that did not fill the buffer emptied the FIFO: no need to look again.
    const aPacket* next() {
        if (next_ == count_ && (count_ < packets_.size() || !await(0)))
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

// A caller's packets, for the same batching as the FIFO's.
class Given {
  public:
    Given(const aPacket* packets, std::size_t count) : packets_(packets), count_(count) {}
    const aPacket* next() { return next_ < count_ ? &packets_[next_++] : nullptr; }
    bool empty() const { return next_ == count_; }

  private:
    const aPacket* packets_;
    std::size_t count_;
    std::size_t next_ = 0;
};

// Packets go out in one batch, closed once it could not take another full packet or when the
// source is empty.
template <typename Source>
void writePooled(LinkRecord& r, aStream* stream, Source& source, std::vector<uint8_t>& batch) {
    const std::size_t close = batch.size() - aPACKET_MAXWIRE; // one more might not fit
    std::size_t fill = 0;
    while (fill <= close) {
        const aPacket* packet = source.next();
        if (packet == nullptr)
            break;
        logPacket(r, kTagSent, packet);
        fill += wireBytes(packet, batch.data() + fill);
    }
    aStream_Write(stream, batch.data(), fill);
}

} // namespace

CORVANE_HOT_PATH void writeOne(LinkRecord& r, aStream* stream, const aPacket& packet) {
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
        if (!aPacketFifo_AwaitAny(r.outgoing, waitMs))
            continue;
        std::lock_guard<std::mutex> lock(r.writeLock);
        if (!taken.await(0))
            continue; // a caller wrote it, or stopping drained it
        while (!taken.empty()) {
            if (coalescing || r.pooled.load())
                writePooled(r, stream, taken, batch);
            else
                writeOne(r, stream, *taken.next());
        }
    }
    // Stopping: what is still queued (routing off among it) goes out before the writer ends.
    if (r.generation.load() == generation) {
        std::lock_guard<std::mutex> lock(r.writeLock);
        while (!taken.empty())
            writeOne(r, stream, *taken.next());
        while (aPacket* packet = aPacketFifo_Get(r.outgoing)) {
            writeOne(r, stream, *packet);
            aPacket_Destroy(&packet);
        }
    }
    markEnded(r, *ended);
}

// A request that finds the writer idle would otherwise wait for it to wake: one thread hand-off
// per request, a good share of a round trip. Never on the link's own reader thread (its user
// filter may put packets, and a write that blocks must not stop it reading). The packets go out
// in the batches the writer would make of them.
CORVANE_HOT_PATH bool writeNow(LinkRecord& r, const aPacket* packets, std::size_t count) {
    if (tReaderOf == &r || r.status.load() != LINK_RUNNING)
        return false;
    std::unique_lock<std::mutex> lock(r.writeLock, std::try_to_lock);
    // The stream stays while running is set: stop clears it, then waits for this lock.
    if (!lock.owns_lock() || !r.running.load() || !r.writerStarted.load() ||
        !aStream_AllowsCallerWrites(r.stream) || aPacketFifo_GetLength(r.outgoing) != 0)
        return false;
    const bool coalescing = aStream_IsCoalescing(r.stream);
    if (count == 1 || !(coalescing || r.pooled.load())) {
        for (std::size_t i = 0; i < count; ++i)
            writeOne(r, r.stream, packets[i]);
        return true;
    }
    thread_local std::vector<uint8_t> batch;
    batch.resize(coalescing ? kCoalesceSize : kPoolSize);
    Given given(packets, count);
    while (!given.empty())
        writePooled(r, r.stream, given, batch);
    return true;
}

} // namespace corvane::link
