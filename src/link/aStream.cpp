// Generic streams: the procedure table, the push-back ring, and block, record and text I/O on
// top of any stream kind.
#include "corvane/aStream.h"

#include "aStream_Internal.h"
#include "cApiGuard.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr size_t kPushBackStep = 512;
// Reads up to this size use a buffer on the stack; the link reads one byte at a time.
constexpr size_t kStackRead = 256;

} // namespace

struct aStream {
    // The kind's table: a constant one of the library, or own for a stream of aStream_Create.
    const aStreamKind* kind = nullptr;
    aStreamKind own{};
    void* reference = nullptr;
    // Push-back ring, part of the read path only. readIndex is the next byte to hand out.
    uint8_t* ring = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    size_t readIndex = 0;
    size_t writeIndex = 0;
    // Read path too. waitedReady: the last wait found the stream ready. waitMisled: the get
    // after such a wait found nothing all the same, as on a socket whose peer closed or a line
    // that hung up, which look ready for ever. The next wait then sleeps out its time-out, so
    // a caller that loops on wait and read idles instead of spinning.
    bool waitedReady = false;
    bool waitMisled = false;
    uint16_t check = aSTREAM_CHECK;

    bool valid() const { return check == aSTREAM_CHECK; }

    // Grows the ring by one step, moving its contents to the front in order.
    bool grow() {
        const size_t newCapacity = capacity + kPushBackStep;
        uint8_t* bigger = new (std::nothrow) uint8_t[newCapacity];
        if (bigger == nullptr) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            bigger[i] = ring[(readIndex + i) % capacity];
        }
        delete[] ring;
        ring = bigger;
        capacity = newCapacity;
        readIndex = 0;
        writeIndex = count;
        return true;
    }

    // Puts one byte before everything waiting; keeps one slot spare as the ring always has.
    bool unreadOne(uint8_t byte) {
        if (count + 1 >= capacity && !grow()) {
            return false;
        }
        readIndex = (readIndex + capacity - 1) % capacity;
        ring[readIndex] = byte;
        ++count;
        return true;
    }

    aErr readOne(uint8_t* byte) {
        if (count > 0) {
            *byte = ring[readIndex];
            readIndex = (readIndex + 1) % capacity;
            --count;
            return aErrNone;
        }
        return noteRead(kind->get(byte, reference));
    }

    // Up to max bytes: the ring's first, else one block from the stream without waiting.
    aErr readSomeBytes(uint8_t* buffer, size_t max, size_t* got) {
        *got = 0;
        if (count > 0) {
            while (*got < max && count > 0) {
                buffer[(*got)++] = ring[readIndex];
                readIndex = (readIndex + 1) % capacity;
                --count;
            }
            return aErrNone;
        }
        if (kind->readSome == nullptr) {
            const aErr err = readOne(buffer);
            *got = err == aErrNone ? 1 : 0;
            return err;
        }
        const aErr err = noteRead(kind->readSome(buffer, max, got, reference));
        if (err != aErrNone) {
            *got = 0;
        }
        return err;
    }

    // Tracks whether a wait that promised bytes was kept (see waitMisled).
    aErr noteRead(aErr err) {
        if (err != aErrNotReady) {
            waitMisled = false;
        } else if (waitedReady) {
            waitMisled = true;
        }
        waitedReady = false;
        return err;
    }
};

namespace {

CORVANE_HOT_PATH bool validStream(const aStream* stream) {
    return stream != nullptr && stream->valid();
}

// Calls a member of the stream's kind that a kind may leave out, with the stream's reference
// after args: aErrParam for an invalid stream, aErrUnimplemented for a kind without it, aErrIO
// for anything it throws.
template <typename Proc, typename... Args>
CORVANE_HOT_PATH aErr callOptional(aStream* stream, Proc aStreamKind::*member, Args... args) {
    if (!validStream(stream)) {
        return aErrParam;
    }
    const Proc proc = stream->kind->*member;
    if (proc == nullptr) {
        return aErrUnimplemented;
    }
    return corvane::guardedValue<aErr>(aErrIO, [&] { return proc(args..., stream->reference); });
}

} // namespace

aErr aStream_Unread(aStream* stream, const uint8_t* bytes, size_t count) {
    if (!validStream(stream) || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    // Last byte first, so the ring hands them out in the order given.
    for (size_t i = count; i > 0; --i) {
        if (!stream->unreadOne(bytes[i - 1])) {
            return aErrMemory;
        }
    }
    return aErrNone;
}

bool aStream_IsValid(const aStream* stream) {
    return validStream(stream);
}

size_t aStream_PushBackCapacity(const aStream* stream) {
    return validStream(stream) ? stream->capacity : 0;
}

void* aStream_Reference(const aStream* stream) {
    return validStream(stream) ? stream->reference : nullptr;
}

bool aStream_CanWait(const aStream* stream) {
    return validStream(stream) && stream->kind->get != nullptr && stream->kind->wait != nullptr;
}

aErr aStream_Poll(aStream* stream, uint32_t timeoutMs) {
    return callOptional(stream, &aStreamKind::poll, timeoutMs);
}

bool aStream_CanPoll(const aStream* stream) {
    return validStream(stream) && stream->kind->poll != nullptr;
}

aErr aStream_Watch(aStream* stream, int wake, uint32_t timeoutMs) {
    return callOptional(stream, &aStreamKind::watch, timeoutMs, wake);
}

bool aStream_CanWatch(const aStream* stream) {
    return validStream(stream) && stream->kind->watch != nullptr;
}

CORVANE_HOT_PATH aErr aStream_Mute(aStream* stream, bool muted) {
    return callOptional(stream, &aStreamKind::mute, muted);
}

bool aStream_CanMute(const aStream* stream) {
    return validStream(stream) && stream->kind->mute != nullptr;
}

CORVANE_HOT_PATH bool aStream_IsCoalescing(const aStream* stream) {
    return validStream(stream) && stream->kind->coalescing;
}

CORVANE_HOT_PATH bool aStream_AllowsCallerWrites(const aStream* stream) {
    return validStream(stream) && stream->kind->callerWrites;
}

aErr aStream_ReadAvailable(aStream* stream, uint8_t* buffer, size_t max, size_t* got) {
    if (!validStream(stream) || buffer == nullptr || got == nullptr) {
        return aErrParam;
    }
    *got = 0;
    if (max == 0) {
        return aErrParam;
    }
    if (stream->kind->get == nullptr) {
        return aErrMode;
    }
    return corvane::guardedValue<aErr>(aErrIO,
                                       [&] { return stream->readSomeBytes(buffer, max, got); });
}

CORVANE_HOT_PATH aErr aStream_ReadWithin(aStream* stream, uint8_t* buffer, size_t max, size_t* got,
                                         uint32_t timeoutMs) {
    if (!validStream(stream) || buffer == nullptr || got == nullptr || max == 0) {
        return aErrParam;
    }
    *got = 0;
    const aStreamKind& kind = *stream->kind;
    if (kind.get == nullptr) {
        return aErrMode;
    }
    // A stream that misled a wait before sleeps out this one (see waitMisled).
    if (stream->count > 0 || timeoutMs == 0 || kind.readWithin == nullptr || stream->waitMisled) {
        // A wait that failed is followed by the read all the same: the read reports the fault.
        if (timeoutMs > 0 && stream->count == 0 &&
            aStream_Wait(stream, timeoutMs) == aErrNotReady) {
            return aErrNotReady;
        }
        return aStream_ReadAvailable(stream, buffer, max, got);
    }
    return corvane::guardedValue<aErr>(aErrIO, [&] {
        const aErr err =
            stream->noteRead(kind.readWithin(buffer, max, got, timeoutMs, stream->reference));
        if (err != aErrNone) {
            *got = 0;
        }
        return err;
    });
}

namespace {
thread_local bool tReadingForCaller = false;
} // namespace

bool aStream_ReadingForCaller() {
    return tReadingForCaller;
}

void aStream_SetReadingForCaller(bool forCaller) {
    tReadingForCaller = forCaller;
}

aStream* aStream_CreateOfKind(const aStreamKind& kind, void* reference) {
    aStream* stream = new (std::nothrow) aStream{};
    if (stream != nullptr) {
        stream->kind = &kind;
        stream->reference = reference;
    }
    return stream;
}

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference) {
    aStream* stream = new (std::nothrow) aStream{};
    if (stream != nullptr) {
        stream->own = aStreamKind{.get = get, .put = put, .write = write, .del = del};
        stream->kind = &stream->own;
        stream->reference = reference;
    }
    return stream;
}

aErr aStream_Destroy(aStream** streamPointer) {
    if (streamPointer == nullptr) {
        return aErrParam;
    }
    aStream* stream = *streamPointer;
    *streamPointer = nullptr;
    if (!validStream(stream)) {
        return aErrParam;
    }
    aErr result = aErrNone;
    if (stream->kind->del != nullptr) {
        result = corvane::guardedValue<aErr>(aErrUnknown,
                                             [&] { return stream->kind->del(stream->reference); });
    }
    delete[] stream->ring;
    stream->check = 0;
    delete stream;
    return result;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t count) {
    if (!validStream(stream) || buffer == nullptr) {
        return aErrParam;
    }
    if (stream->kind->get == nullptr) {
        return aErrMode;
    }
    return corvane::guardedValue<aErr>(aErrResource, [&] {
        // Bytes go to the caller only when the read is complete (or ends the stream).
        uint8_t small[kStackRead];
        std::vector<uint8_t> large;
        uint8_t* work = small;
        if (count > kStackRead) {
            large.resize(count);
            work = large.data();
        }
        size_t got = 0;
        aErr err = aErrNone;
        while (got < count) {
            err = stream->readOne(&work[got]);
            if (err != aErrNone) {
                break;
            }
            ++got;
        }
        if (err == aErrNotReady) {
            // All or nothing: what this read took waits for the next one.
            aErr unread = aStream_Unread(stream, work, got);
            return unread == aErrNone ? aErrNotReady : aErrResource;
        }
        if (err == aErrNone || err == aErrEOF) {
            std::memcpy(buffer, work, got);
        }
        return err;
    });
}

aErr aStream_Wait(aStream* stream, uint32_t timeoutMs) {
    if (!validStream(stream)) {
        return aErrParam;
    }
    if (stream->count > 0) {
        return aErrNone;
    }
    if (stream->kind->get == nullptr) {
        return aErrMode;
    }
    if (stream->kind->wait == nullptr) {
        return aErrUnimplemented;
    }
    return corvane::guardedValue<aErr>(aErrIO, [&] {
        if (stream->waitMisled) {
            stream->waitMisled = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return aErrNotReady;
        }
        const aErr err = stream->kind->wait(timeoutMs, stream->reference);
        stream->waitedReady = err == aErrNone;
        return err;
    });
}

CORVANE_HOT_PATH aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t count) {
    if (!validStream(stream) || bytes == nullptr) {
        return aErrParam;
    }
    const aStreamKind& kind = *stream->kind;
    if (kind.put == nullptr && kind.write == nullptr) {
        return aErrMode;
    }
    if (count == 0) {
        return aErrNone;
    }
    return corvane::guardedValue<aErr>(aErrWrite, [&] {
        if (kind.write != nullptr && (count > 1 || kind.put == nullptr)) {
            return kind.write(bytes, count, stream->reference);
        }
        for (size_t i = 0; i < count; ++i) {
            aErr err = kind.put(bytes[i], stream->reference);
            if (err != aErrNone) {
                return err;
            }
        }
        return aErrNone;
    });
}

namespace {

// Longest proper prefix of the terminator that is also a suffix, for each prefix length: lets a
// failed partial match fall back without reading anything twice.
std::vector<size_t> terminatorFallback(const uint8_t* terminator, size_t length) {
    std::vector<size_t> fallback(length, 0);
    size_t k = 0;
    for (size_t i = 1; i < length; ++i) {
        while (k > 0 && terminator[i] != terminator[k]) {
            k = fallback[k - 1];
        }
        if (terminator[i] == terminator[k]) {
            ++k;
        }
        fallback[i] = k;
    }
    return fallback;
}

aErr readRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t size,
                const uint8_t* terminator, size_t terminatorLength) {
    std::vector<uint8_t> record;
    record.reserve(size < 256 ? size : 256);
    const std::vector<size_t> fallback = terminatorFallback(terminator, terminatorLength);
    size_t matched = 0; // terminator bytes read but not yet known to be record bytes

    // Moves bytes into the record; once it is full, whatever is left goes back to the stream
    // (followed by the partial match still held) and the record ends.
    std::vector<uint8_t> pending;
    auto finishFull = [&]() -> aErr {
        std::vector<uint8_t> back(pending);
        back.insert(back.end(), terminator, terminator + matched);
        if (aStream_Unread(stream, back.data(), back.size()) != aErrNone) {
            return aErrResource;
        }
        std::memcpy(buffer, record.data(), record.size());
        *length = record.size();
        return aErrNone;
    };
    auto deliver = [&]() -> bool { // false once the record is full
        size_t used = 0;
        while (used < pending.size() && record.size() < size) {
            record.push_back(pending[used++]);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        return record.size() < size;
    };

    for (;;) {
        if (record.size() >= size) {
            return finishFull();
        }
        uint8_t byte = 0;
        aErr err =
            stream->kind->get == nullptr && stream->count == 0 ? aErrMode : stream->readOne(&byte);
        if (err == aErrNotReady) {
            std::vector<uint8_t> back(record);
            back.insert(back.end(), terminator, terminator + matched);
            if (aStream_Unread(stream, back.data(), back.size()) != aErrNone) {
                return aErrResource;
            }
            return aErrNotReady;
        }
        if (err == aErrEOF) {
            pending.assign(terminator, terminator + matched);
            matched = 0;
            if (!deliver()) {
                return finishFull();
            }
            if (record.empty()) {
                return aErrEOF;
            }
            std::memcpy(buffer, record.data(), record.size());
            *length = record.size();
            return aErrNone;
        }
        if (err != aErrNone) {
            return err;
        }
        // A mismatch releases the terminator bytes that can no longer start a match.
        while (matched > 0 && byte != terminator[matched]) {
            const size_t keep = fallback[matched - 1];
            pending.insert(pending.end(), terminator, terminator + (matched - keep));
            matched = keep;
        }
        if (byte == terminator[matched]) {
            ++matched;
        } else {
            pending.push_back(byte);
        }
        if (!deliver()) {
            return finishFull();
        }
        if (matched == terminatorLength) {
            std::memcpy(buffer, record.data(), record.size());
            *length = record.size();
            return aErrNone;
        }
    }
}

} // namespace

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (!validStream(stream) || buffer == nullptr || length == nullptr || terminator == nullptr ||
        terminatorLength == 0) {
        return aErrParam;
    }
    return corvane::guardedValue<aErr>(aErrResource, [&] {
        return readRecord(stream, buffer, length, size, terminator, terminatorLength);
    });
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t count,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (record == nullptr || terminator == nullptr || terminatorLength == 0) {
        return aErrParam;
    }
    aErr err = aStream_Write(stream, record, count);
    if (err == aErrNone) {
        err = aStream_Write(stream, terminator, terminatorLength);
    }
    return err;
}

namespace {

aErr readText(aStream* stream, char* buffer, size_t size, const uint8_t* terminator,
              size_t terminatorLength) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                  terminator, terminatorLength);
    buffer[err == aErrNone ? length : 0] = '\0';
    return err;
}

} // namespace

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
    const uint8_t zero = 0;
    return readText(stream, buffer, size, &zero, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
    if (text == nullptr) {
        return aErrParam;
    }
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator) {
    if (terminator == nullptr || terminator[0] == '\0') {
        return aErrParam;
    }
    return readText(stream, buffer, size, reinterpret_cast<const uint8_t*>(terminator),
                    std::strlen(terminator));
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
    if (text == nullptr || terminator == nullptr) {
        return aErrParam;
    }
    aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    if (err == aErrNone) {
        err = aStream_WriteCString(stream, terminator);
    }
    return err;
}

aErr aStream_Flush(aStream* input, aStream* output) {
    if (!validStream(input) || !validStream(output)) {
        return aErrParam;
    }
    if (input->kind->get == nullptr || output->kind->put == nullptr) {
        return aErrMode;
    }
    return corvane::guardedValue<aErr>(aErrIO, [&] {
        for (;;) {
            uint8_t byte = 0;
            aErr err = input->readOne(&byte);
            if (err == aErrEOF) {
                return aErrNone;
            }
            if (err != aErrNone) {
                return err;
            }
            err = output->kind->put(byte, output->reference);
            if (err != aErrNone) {
                return err;
            }
        }
    });
}
