// A thread-safe in-memory stream for link engine tests: the test feeds the bytes the "module"
// sends, the link's reader takes them, and every block the link's writer sends is recorded.
// Writes can be held at a gate so that tests control what queues up behind them.
#pragma once

#include "aStream_Internal.h"
#include "corvane/aStream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <vector>

class ScriptedLinkStream {
  public:
    // A waitable stream can also wait for its next byte, as socket and serial streams do;
    // otherwise it only answers "not ready", as caller-made streams do.
    explicit ScriptedLinkStream(bool waitable = false) : waitable_(waitable) {}
    ScriptedLinkStream(const ScriptedLinkStream&) = delete;
    ScriptedLinkStream& operator=(const ScriptedLinkStream&) = delete;

    // A stream over this fake; the fake must outlive it (the link destroys the stream).
    aStream* stream() {
        static const aStreamKind kWaitable{.get = get, .wait = wait, .write = write, .del = del};
        return waitable_ ? aStream_CreateOfKind(kWaitable, this)
                         : aStream_Create(get, nullptr, write, del, this);
    }

    // Bytes the module sends.
    void feed(std::initializer_list<uint8_t> bytes) { feed(std::vector<uint8_t>(bytes)); }
    void feed(const std::vector<uint8_t>& bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (uint8_t b : bytes)
                inbound_.push_back({aErrNone, b});
        }
        changed_.notify_all();
    }
    // A read that fails with err, once.
    void feedError(aErr err) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inbound_.push_back({err, 0});
        }
        changed_.notify_all();
    }
    // How often the stream was read and waited on so far.
    size_t gets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return gets_;
    }
    size_t waits() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waits_;
    }
    bool drained() {
        std::lock_guard<std::mutex> lock(mutex_);
        return inbound_.empty();
    }

    // Write blocks wait while the gate is closed.
    void closeGate() {
        std::lock_guard<std::mutex> lock(mutex_);
        gateOpen_ = false;
    }
    void openGate() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gateOpen_ = true;
        }
        changed_.notify_all();
    }
    // True once a writer is blocked at the closed gate.
    bool waitForBlockedWriter(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return writersWaiting_ > 0; });
    }

    // Every byte written so far, all blocks together.
    std::vector<uint8_t> written() {
        std::lock_guard<std::mutex> lock(mutex_);
        return written_;
    }
    // The size of each write call so far.
    std::vector<size_t> writeSizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }
    void clearWritten() {
        std::lock_guard<std::mutex> lock(mutex_);
        written_.clear();
        sizes_.clear();
    }
    // Waits until at least count bytes were written in all.
    bool waitForWritten(size_t count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return written_.size() >= count; });
    }
    // Waits until the written bytes contain needle.
    bool waitForSequence(const std::vector<uint8_t>& needle, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return containsLocked(needle); });
    }
    bool contains(const std::vector<uint8_t>& needle) {
        std::lock_guard<std::mutex> lock(mutex_);
        return containsLocked(needle);
    }
    int deletes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deletes_;
    }

  private:
    struct Step {
        aErr err;
        uint8_t byte;
    };

    bool containsLocked(const std::vector<uint8_t>& needle) const {
        if (needle.empty() || written_.size() < needle.size())
            return needle.empty();
        for (size_t i = 0; i + needle.size() <= written_.size(); ++i)
            if (std::equal(needle.begin(), needle.end(), written_.begin() + i))
                return true;
        return false;
    }

    static aErr get(uint8_t* byte, void* reference) {
        auto* self = static_cast<ScriptedLinkStream*>(reference);
        std::lock_guard<std::mutex> lock(self->mutex_);
        ++self->gets_;
        if (self->inbound_.empty())
            return aErrNotReady;
        const Step step = self->inbound_.front();
        self->inbound_.pop_front();
        *byte = step.byte;
        return step.err;
    }
    static aErr wait(uint32_t timeoutMs, void* reference) {
        auto* self = static_cast<ScriptedLinkStream*>(reference);
        std::unique_lock<std::mutex> lock(self->mutex_);
        ++self->waits_;
        const bool ready = self->changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                   [&] { return !self->inbound_.empty(); });
        return ready ? aErrNone : aErrNotReady;
    }
    static aErr write(const uint8_t* bytes, size_t count, void* reference) {
        auto* self = static_cast<ScriptedLinkStream*>(reference);
        std::unique_lock<std::mutex> lock(self->mutex_);
        ++self->writersWaiting_;
        self->changed_.notify_all();
        self->changed_.wait(lock, [&] { return self->gateOpen_; });
        --self->writersWaiting_;
        self->written_.insert(self->written_.end(), bytes, bytes + count);
        self->sizes_.push_back(count);
        self->changed_.notify_all();
        return aErrNone;
    }
    static aErr del(void* reference) {
        auto* self = static_cast<ScriptedLinkStream*>(reference);
        std::lock_guard<std::mutex> lock(self->mutex_);
        ++self->deletes_;
        return aErrNone;
    }

    const bool waitable_;
    std::mutex mutex_; // guards every field below
    std::condition_variable changed_;
    std::deque<Step> inbound_;
    std::vector<uint8_t> written_;
    std::vector<size_t> sizes_;
    bool gateOpen_ = true;
    int writersWaiting_ = 0;
    int deletes_ = 0;
    size_t gets_ = 0;
    size_t waits_ = 0;
};
