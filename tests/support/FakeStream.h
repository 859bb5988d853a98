// A scripted in-memory stream for tests: get hands out queued bytes and errors in order, put and
// write record what was written. Not thread-safe; one test thread drives it.
#pragma once

#include "aStream_Internal.h"
#include "corvane/aStream.h"

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <vector>

class FakeStream {
  public:
    // What get answers when the script is used up.
    aErr whenEmpty = aErrNotReady;
    // Result of every put and write; a failing write records nothing.
    aErr writeResult = aErrNone;
    std::vector<uint8_t> written;
    std::vector<size_t> writeCalls; // block size of each write procedure call
    size_t putCalls = 0;
    size_t getCalls = 0;
    int deletes = 0;

    void feed(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) {
            script_.push_back({aErrNone, b});
        }
    }
    void feed(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) {
            script_.push_back({aErrNone, b});
        }
    }
    void feedError(aErr err) { script_.push_back({err, 0}); }
    size_t scripted() const { return script_.size(); }

    // A stream over this fake with the chosen procedures. The fake must outlive the stream.
    aStream* stream(bool withGet = true, bool withPut = true, bool withWrite = true) {
        return aStream_Create(withGet ? get : nullptr, withPut ? put : nullptr,
                              withWrite ? write : nullptr, del, this);
    }

    // The same over a kind that can also wait, with wait. The fake must outlive the stream.
    aStream* waitableStream(aStreamWaitProc wait) {
        kind_ = aStreamKind{.get = get, .wait = wait, .put = put, .write = write, .del = del};
        return aStream_CreateOfKind(kind_, this);
    }

  private:
    aStreamKind kind_{};
    struct Step {
        aErr err;
        uint8_t byte;
    };
    std::deque<Step> script_;

    static aErr get(uint8_t* byte, void* reference) {
        auto* self = static_cast<FakeStream*>(reference);
        ++self->getCalls;
        if (self->script_.empty()) {
            return self->whenEmpty;
        }
        Step step = self->script_.front();
        self->script_.pop_front();
        *byte = step.byte;
        return step.err;
    }
    static aErr put(uint8_t byte, void* reference) {
        auto* self = static_cast<FakeStream*>(reference);
        ++self->putCalls;
        if (self->writeResult == aErrNone) {
            self->written.push_back(byte);
        }
        return self->writeResult;
    }
    static aErr write(const uint8_t* bytes, size_t count, void* reference) {
        auto* self = static_cast<FakeStream*>(reference);
        self->writeCalls.push_back(count);
        if (self->writeResult == aErrNone) {
            self->written.insert(self->written.end(), bytes, bytes + count);
        }
        return self->writeResult;
    }
    static aErr del(void* reference) {
        ++static_cast<FakeStream*>(reference)->deletes;
        return aErrNone;
    }
};

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using StreamPtr = std::unique_ptr<aStream, StreamDeleter>;
