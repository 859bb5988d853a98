// A boot ROM's side of a scripted session for the boot-ROM client targets: the chip's answers,
// released one per message the host sends, over a stream (UART clients) or as HID reports.
#pragma once

#include "aStream_Internal.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// The input is a list of answers, each a 16-bit little-endian length and that many bytes (the
// last one cut short by the end of the input). Every write of the host releases the next answer;
// a host that waits for more than is released gets the next answer at once, so no wait is ever
// spent in vain. Once every answer is out and read, the line reports aErrIO: no read outlasts the
// input, and none waits on the clock.
class ChipScript {
  public:
    ChipScript(const uint8_t* data, size_t size) {
        size_t at = 0;
        while (at < size) {
            size_t length = data[at];
            if (at + 1 < size) {
                length |= size_t{data[at + 1]} << 8;
            }
            at += 2;
            const size_t take = at < size ? std::min(length, size - at) : 0;
            answers_.emplace_back(data + std::min(at, size), data + std::min(at, size) + take);
            at += take;
        }
    }
    ChipScript(const ChipScript&) = delete;
    ChipScript& operator=(const ChipScript&) = delete;

    // The host sent something: the chip's next answer is on its way.
    void hostSent() { release(); }
    bool release() {
        if (answers_.empty()) {
            return false;
        }
        released_.insert(released_.end(), answers_.front().begin(), answers_.front().end());
        answers_.pop_front();
        return true;
    }
    bool spent() const { return answers_.empty() && released_.empty(); }

    // One byte of what the chip has said: aErrNotReady while the next answer is held back,
    // aErrIO once everything is said and read.
    aErr take(uint8_t& byte) {
        if (released_.empty()) {
            return answers_.empty() ? aErrIO : aErrNotReady;
        }
        byte = released_.front();
        released_.pop_front();
        ++delivered_;
        return aErrNone;
    }
    // The next answer whole, as one report; false once every answer is out.
    bool takeAnswer(std::vector<uint8_t>& bytes) {
        if (released_.empty() && !release()) {
            return false;
        }
        bytes.assign(released_.begin(), released_.end());
        delivered_ += released_.size();
        released_.clear();
        return true;
    }
    size_t delivered() const { return delivered_; }

    // A stream over the script (which must outlive it): reads take, writes release, waits
    // release when nothing is waiting.
    aStream* stream() {
        kind_ = aStreamKind{.get = get, .wait = wait, .put = put, .write = write};
        return aStream_CreateOfKind(kind_, this);
    }

  private:
    static aErr get(uint8_t* byte, void* reference) {
        return static_cast<ChipScript*>(reference)->take(*byte);
    }
    // Empty answers are passed over: a wait that reports bytes must be followed by a byte, or
    // the stream takes it for a hung-up line and sleeps out the next wait.
    static aErr wait(uint32_t, void* reference) {
        auto* self = static_cast<ChipScript*>(reference);
        while (self->released_.empty() && self->release()) {
        }
        return self->released_.empty() ? aErrIO : aErrNone;
    }
    static aErr put(uint8_t, void* reference) {
        static_cast<ChipScript*>(reference)->hostSent();
        return aErrNone;
    }
    static aErr write(const uint8_t*, size_t, void* reference) {
        static_cast<ChipScript*>(reference)->hostSent();
        return aErrNone;
    }

    std::deque<std::vector<uint8_t>> answers_;
    std::deque<uint8_t> released_;
    size_t delivered_ = 0;
    aStreamKind kind_{};
};
