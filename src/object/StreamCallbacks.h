// Stream callbacks off the reader thread: a single-producer single-consumer ring of 500 slots
// filled by the stream filter, and the Link's callback thread that drains it.
#pragma once

#include "StreamRegistry.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace Corvane {

struct asyncPacket {
    SharedStreamCallback callback;
    void* reference = nullptr;
    aPacket packet{}; // a copy, owned by the slot
};

// The reader thread is the only producer and the callback thread the only consumer; each index
// is written by one side only. Full when advancing the write index would meet the read index,
// so it holds at most 499 items.
class LocklessQueue_SPSC {
  public:
    static constexpr uint16_t kSlots = 500;

    bool push(const SharedStreamCallback& callback, void* reference, const aPacket& packet);
    bool pop(asyncPacket& out);
    bool empty() const;
    // Items queued; exact on the producer's side.
    uint16_t size() const;
    // Only while neither side runs.
    void reset();

  private:
    std::array<asyncPacket, kSlots> slots_;
    std::atomic<uint16_t> write_{0};
    std::atomic<uint16_t> read_{0};
};

class StreamCallbackThread {
  public:
    StreamCallbackThread();
    ~StreamCallbackThread();
    StreamCallbackThread(const StreamCallbackThread&) = delete;
    StreamCallbackThread& operator=(const StreamCallbackThread&) = delete;

    // From the stream filter: queues one delivery; a full queue drops it and counts the drop.
    void deliver(const SharedStreamCallback& callback, void* reference, const aPacket& packet);
    // From the stream filter once the packets of one read are delivered: wakes the thread for
    // them. Waking it per burst rather than per packet keeps a fast stream from costing a
    // wake-up per sample.
    void burstDelivered();
    uint64_t drops() const { return drops_.load(std::memory_order_relaxed); }

    bool running() const { return thread_.joinable(); }
    void start();
    // Ends the thread: no callback starts after the stop, the one running finishes first. Called
    // from a callback itself, the thread is let go and ends when that callback returns. Only
    // once the filter no longer delivers.
    void stop();

  private:
    // The thread sleeps on `wake` while the queue is empty, having said so in `sleeping`; the
    // filter wakes it only then, at the end of a burst or sooner when the queue fills, so a
    // busy stream costs the reader thread no lock per sample.
    struct Shared {
        LocklessQueue_SPSC queue;
        std::atomic<bool> stop{false};
        std::atomic<bool> sleeping{false};
        std::mutex lock; // guards the sleep, nothing else
        std::condition_variable wake;
        void notify();
    };
    static void drain(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    std::atomic<uint64_t> drops_{0};
};

} // namespace Corvane
