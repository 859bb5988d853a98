// The stream callback queue and thread (see StreamCallbacks.h).
#include "StreamCallbacks.h"

namespace Corvane {

namespace {

// Queued items that wake a sleeping thread before its burst ends, well before a burst (a read
// of up to 16 KB, nearly a thousand samples) could fill the queue.
constexpr uint16_t kWakeBacklog = 64;

uint16_t next(uint16_t index) {
    return static_cast<uint16_t>((index + 1) % LocklessQueue_SPSC::kSlots);
}

} // namespace

bool LocklessQueue_SPSC::push(const SharedStreamCallback& callback, void* reference,
                              const aPacket& packet) {
    const uint16_t write = write_.load(std::memory_order_relaxed);
    const uint16_t advanced = next(write);
    if (advanced == read_.load(std::memory_order_acquire))
        return false;
    asyncPacket& slot = slots_[write];
    slot.callback = callback;
    slot.reference = reference;
    slot.packet = packet;
    // Sequentially consistent, as is the thread's mark that it sleeps: either the thread sees
    // this item before it sleeps, or this side sees the mark and wakes it.
    write_.exchange(advanced, std::memory_order_seq_cst);
    return true;
}

bool LocklessQueue_SPSC::pop(asyncPacket& out) {
    const uint16_t read = read_.load(std::memory_order_relaxed);
    if (read == write_.load(std::memory_order_acquire))
        return false;
    asyncPacket& slot = slots_[read];
    out.callback = std::move(slot.callback);
    out.reference = slot.reference;
    out.packet = slot.packet;
    read_.exchange(next(read), std::memory_order_acq_rel);
    return true;
}

bool LocklessQueue_SPSC::empty() const {
    return read_.load(std::memory_order_relaxed) == write_.load(std::memory_order_seq_cst);
}

uint16_t LocklessQueue_SPSC::size() const {
    const uint16_t write = write_.load(std::memory_order_relaxed);
    const uint16_t read = read_.load(std::memory_order_acquire);
    return static_cast<uint16_t>((write + kSlots - read) % kSlots);
}

void LocklessQueue_SPSC::reset() {
    for (asyncPacket& slot : slots_)
        slot.callback.reset();
    write_.store(0);
    read_.store(0);
}

StreamCallbackThread::StreamCallbackThread() : shared_(std::make_shared<Shared>()) {}

StreamCallbackThread::~StreamCallbackThread() {
    stop();
}

void StreamCallbackThread::Shared::notify() {
    { std::lock_guard<std::mutex> guard(lock); }
    wake.notify_one();
}

void StreamCallbackThread::deliver(const SharedStreamCallback& callback, void* reference,
                                   const aPacket& packet) {
    if (!shared_->queue.push(callback, reference, packet)) {
        drops_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (shared_->queue.size() >= kWakeBacklog && shared_->sleeping.load(std::memory_order_seq_cst))
        shared_->notify();
}

void StreamCallbackThread::burstDelivered() {
    if (shared_->sleeping.load(std::memory_order_seq_cst) && !shared_->queue.empty())
        shared_->notify();
}

void StreamCallbackThread::start() {
    if (thread_.joinable())
        return;
    shared_->stop.store(false);
    thread_ = std::thread(drain, shared_);
}

void StreamCallbackThread::stop() {
    if (!thread_.joinable())
        return;
    shared_->stop.store(true);
    shared_->notify();
    if (thread_.get_id() == std::this_thread::get_id()) {
        // A callback stopped its own streaming: the thread keeps its queue and ends when the
        // callback returns; later deliveries go to a fresh queue.
        thread_.detach();
        shared_ = std::make_shared<Shared>();
        return;
    }
    thread_.join();
    shared_->queue.reset();
}

void StreamCallbackThread::drain(std::shared_ptr<Shared> shared) {
    asyncPacket item;
    while (!shared->stop.load()) {
        if (!shared->queue.pop(item)) {
            // Nothing to do: sleep until the filter queues something or the thread is stopped.
            std::unique_lock<std::mutex> guard(shared->lock);
            shared->sleeping.store(true, std::memory_order_seq_cst);
            shared->wake.wait(guard, [&] { return !shared->queue.empty() || shared->stop.load(); });
            shared->sleeping.store(false, std::memory_order_relaxed);
            continue;
        }
        if (item.callback && *item.callback) {
            try {
                (*item.callback)(&item.packet, item.reference);
            } catch (...) {
                // A throwing callback must not end streaming for the others.
            }
        }
        item.callback.reset();
    }
}

} // namespace Corvane
