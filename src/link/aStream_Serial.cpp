// The serial stream: a serial port behind the stream procedures, read through a small buffer of
// its own so that a burst costs one system read, not one per byte.
#include "corvane/aStream.h"

#include "aStream_Internal.h"
#include "cApiGuard.h"
#include "platform/serial.h"

#include <new>
#include <string>

namespace {

constexpr uint16_t kSerialCheck = 0xDEEF;
constexpr size_t kReadChunk = 256;

struct SerialRecord {
    uint16_t check = kSerialCheck;
    corvane::platform::SerialPort* port = nullptr;
    uint32_t baud = 0;
    // Read path only: bytes taken from the port but not yet handed out.
    aStreamReadBuffer received{kReadChunk};
};

SerialRecord* recordOf(void* reference) {
    auto* record = static_cast<SerialRecord*>(reference);
    return record != nullptr && record->check == kSerialCheck ? record : nullptr;
}

aErr serialReadSome(uint8_t* buffer, size_t max, size_t* got, void* reference) {
    SerialRecord* record = recordOf(reference);
    if (record == nullptr || buffer == nullptr || got == nullptr) {
        return aErrParam;
    }
    return record->received.take(
        buffer, max, got, [&](uint8_t* into, size_t capacity, size_t& brought) {
            return corvane::platform::readSerialPort(record->port, into, capacity, brought) ==
                           aErrNone
                       ? aErrNone
                       : aErrIO;
        });
}

aErr serialGet(uint8_t* byte, void* reference) {
    size_t got = 0;
    return serialReadSome(byte, 1, &got, reference);
}

aErr serialWait(uint32_t timeoutMs, void* reference) {
    SerialRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    if (record->received.holding()) {
        return aErrNone;
    }
    return corvane::platform::waitSerialPortReadable(record->port, timeoutMs);
}

aErr serialPoll(uint32_t timeoutMs, void* reference) {
    SerialRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    return corvane::platform::waitSerialPortReadable(record->port, timeoutMs);
}

aErr serialWatch(uint32_t timeoutMs, int wake, void* reference) {
    SerialRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    return corvane::platform::watchSerialPort(record->port, wake, timeoutMs);
}

aErr serialWrite(const uint8_t* bytes, size_t count, void* reference) {
    SerialRecord* record = recordOf(reference);
    if (record == nullptr || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    // Twice the time the line needs (10 bit times per byte) plus a second: a port that takes
    // longer is stuck, not slow.
    const uint64_t lineMs = static_cast<uint64_t>(count) * 10 * 1000 / record->baud;
    const uint32_t timeoutMs = static_cast<uint32_t>(lineMs * 2 + 1000);
    return corvane::platform::writeSerialPort(record->port, bytes, count, timeoutMs);
}

aErr serialPut(uint8_t byte, void* reference) {
    return serialWrite(&byte, 1, reference);
}

aErr serialDelete(void* reference) {
    SerialRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    aErr err = corvane::platform::closeSerialPort(record->port);
    record->check = 0;
    delete record;
    return err;
}

// A serial port. Its writes take as long as the line needs, so only the link's writer thread
// makes them.
constexpr aStreamKind kSerialKind{.get = serialGet,
                                  .readSome = serialReadSome,
                                  .wait = serialWait,
                                  .poll = serialPoll,
                                  .watch = serialWatch,
                                  .put = serialPut,
                                  .write = serialWrite,
                                  .del = serialDelete};

} // namespace

aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, uint32_t parity,
                          uint32_t dataBits, uint32_t stopBits, aStream** stream) {
    if (portName == nullptr || stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    if (baudIndex >= aSTREAM_SERIAL_BAUD_COUNT) {
        return aErrRange;
    }
    if (dataBits > 1 || stopBits > 1) {
        return aErrMode;
    }
    corvane::platform::SerialSettings settings;
    settings.baud = aStream_SerialBaudRates[baudIndex];
    settings.oddParity = parity != 0;
    settings.dataBits = dataBits == 0 ? 8 : 7;
    settings.stopBits = stopBits == 0 ? 1 : 2;

    auto* record = new (std::nothrow) SerialRecord{};
    if (record == nullptr) {
        return aErrMemory;
    }
    record->baud = settings.baud;
    aErr err = aErrNone;
    try {
        const std::string path = corvane::platform::serialDevicePath(portName);
        err = corvane::platform::openSerialPort(path.c_str(), settings, record->port);
    } catch (...) {
        err = aErrMemory;
    }
    if (err != aErrNone) {
        delete record;
        return err;
    }
    *stream = aStream_CreateOfKind(kSerialKind, record);
    if (*stream == nullptr) {
        serialDelete(record);
        return aErrResource;
    }
    return aErrNone;
}

uint32_t aStream_SerialBaudRate(uint32_t baudIndex) {
    return baudIndex < aSTREAM_SERIAL_BAUD_COUNT ? aStream_SerialBaudRates[baudIndex] : 0;
}

aErr aStream_SerialDevicePath(const char* portName, char* path, size_t size) {
    if (portName == nullptr || path == nullptr || size == 0) {
        return aErrParam;
    }
    path[0] = '\0';
    return corvane::guardedCall([&] {
        const std::string device = corvane::platform::serialDevicePath(portName);
        if (device.size() >= size) {
            return aErrSize;
        }
        device.copy(path, device.size());
        path[device.size()] = '\0';
        return aErrNone;
    });
}

aErr aStream_DescribeSerialFailure(const char* portName, char* text, size_t size) {
    if (portName == nullptr || text == nullptr || size == 0) {
        return aErrParam;
    }
    text[0] = '\0';
    return corvane::guardedCall([&] {
        const std::string why = corvane::platform::describeSerialOpenFailure(
            corvane::platform::serialDevicePath(portName).c_str());
        const size_t kept = why.copy(text, size - 1);
        text[kept] = '\0';
        return aErrNone;
    });
}
