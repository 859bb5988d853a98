// Packet log: a byte ring of (address, length, data) entries that drops its oldest entries to
// make room, backing a link's packet debug trace.
#include "corvane/aPacketLog.h"

#include <new>

struct aPacketLog {
    bool enabled = false;
    uint8_t* buffer = nullptr;
    size_t size = 0;
    size_t read = 0;  // oldest entry's address byte
    size_t write = 0; // where the next entry goes; read == write when empty

    size_t used() const { return (size + write - read) % size; }
    size_t freeBytes() const { return size - used(); }
    size_t advance(size_t position, size_t by) const { return (position + by) % size; }

    void dropOldest() {
        const size_t length = buffer[advance(read, 1)];
        read = advance(read, length + 2);
    }
};

aPacketLog* aPacketLog_Create(size_t size) {
    if (size == 0) {
        return nullptr;
    }
    aPacketLog* log = new (std::nothrow) aPacketLog{};
    if (log == nullptr) {
        return nullptr;
    }
    log->buffer = new (std::nothrow) uint8_t[size];
    if (log->buffer == nullptr) {
        delete log;
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
    if (log == nullptr || *log == nullptr) {
        return aErrNone;
    }
    delete[](*log)->buffer;
    delete *log;
    *log = nullptr;
    return aErrNone;
}

aErr aPacketLog_SetEnabled(aPacketLog* log, bool enabled) {
    if (log == nullptr) {
        return aErrParam;
    }
    log->enabled = enabled;
    return aErrNone;
}

bool aPacketLog_IsEnabled(const aPacketLog* log) {
    return log != nullptr && log->enabled;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t address, uint8_t length, const uint8_t* data) {
    if (log == nullptr || (data == nullptr && length > 0)) {
        return aErrParam;
    }
    const size_t needed = static_cast<size_t>(length) + 2;
    // An entry as large as the whole ring could never fit, so nothing is dropped for it.
    if (needed < log->size) {
        while (log->freeBytes() <= needed) {
            log->dropOldest();
        }
    }
    if (log->freeBytes() <= needed) {
        return aErrOverrun;
    }
    log->buffer[log->write] = address;
    log->write = log->advance(log->write, 1);
    log->buffer[log->write] = length;
    log->write = log->advance(log->write, 1);
    for (size_t i = 0; i < length; ++i) {
        log->buffer[log->write] = data[i];
        log->write = log->advance(log->write, 1);
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* address, uint8_t* length, uint8_t* buffer) {
    if (log == nullptr || address == nullptr || length == nullptr ||
        (buffer == nullptr && *length > 0)) {
        return aErrParam;
    }
    if (log->read == log->write) {
        return aErrNotFound;
    }
    const uint8_t capacity = *length;
    const uint8_t entryLength = log->buffer[log->advance(log->read, 1)];
    *address = log->buffer[log->read];
    *length = entryLength;
    if (capacity < entryLength) {
        return aErrOverrun;
    }
    size_t position = log->advance(log->read, 2);
    for (size_t i = 0; i < entryLength; ++i) {
        buffer[i] = log->buffer[position];
        position = log->advance(position, 1);
    }
    log->read = position;
    return aErrNone;
}
