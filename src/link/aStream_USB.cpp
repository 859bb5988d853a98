// The USB stream: a module's bulk pipes behind the stream procedures, with the transfer-size
// and retry rules the modules' firmware expects, and the instance identifiers that name them.
#include "aStream_Internal.h"
#include "aStream_USBInternal.h"
#include "aUSBEmulation.h"
#include "corvane/aUSB.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifndef CORVANE_DEFAULT_USB_VENDOR_ID
#error "CORVANE_DEFAULT_USB_VENDOR_ID must come from the build"
#endif

namespace {

constexpr uint16_t kUSBCheck = 0xDEAD;
// A transfer of exactly this size would need a zero-length packet after it, which the modules'
// firmware does not expect, so none is ever sent.
constexpr size_t kForbiddenTransfer = 512;

const char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Parses [begin, end) as 1 to maxDigits hexadecimal digits.
bool parseHex(const char* begin, const char* end, size_t maxDigits, uint32_t& value) {
    if (begin >= end || static_cast<size_t>(end - begin) > maxDigits) {
        return false;
    }
    value = 0;
    for (const char* p = begin; p < end; ++p) {
        int digit = hexValue(*p);
        if (digit < 0) {
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool parseDecimal(const char* begin, const char* end, uint32_t& value) {
    if (begin >= end) {
        return false;
    }
    uint64_t total = 0;
    for (const char* p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        total = total * 10 + static_cast<uint64_t>(*p - '0');
        if (total > UINT32_MAX) {
            return false;
        }
    }
    value = static_cast<uint32_t>(total);
    return true;
}

void appendHex4(std::string& out, uint16_t value) {
    for (int shift = 12; shift >= 0; shift -= 4) {
        out.push_back(kHex[(value >> shift) & 0xF]);
    }
}

std::string familyPrefix(uint16_t vendorId) {
    std::string prefix = "USB\\VID_";
    appendHex4(prefix, vendorId);
    prefix += "&PID_0";
    return prefix;
}

struct USBRecord {
    uint16_t check = kUSBCheck;
    const corvane::platform::UsbTransfer* transfer = nullptr;
    void* device = nullptr;
    size_t outMaxPacket = 0;
    // Read path only: the last IN transfer and how far it has been handed out, and a failure a
    // wait met, for the next read to report.
    aStreamReadBuffer received{0};
    aErr pendingError = aErrNone;
    // The last wait came back empty: a look right after it would find nothing either, and on a
    // bus each look is a transfer submitted and cancelled.
    bool waitedDry = false;
    // Write path only.
    std::vector<uint8_t> writeBuffer;
};

USBRecord* recordOf(void* reference) {
    auto* record = static_cast<USBRecord*>(reference);
    return record != nullptr && record->check == kUSBCheck ? record : nullptr;
}

// One IN transfer into the read buffer, waiting at most timeoutMs: aErrNone with the bytes that
// came (none: not ready), else the failure to report. Bytes that came are kept whatever ended
// the transfer.
aErr transferIn(USBRecord* record, uint8_t* buffer, size_t capacity, uint32_t timeoutMs,
                size_t& got) {
    // A libusb time-out of 0 would wait for ever.
    const aErr err = record->transfer->bulkIn(record->device, buffer, capacity,
                                              std::max<uint32_t>(timeoutMs, 1), got);
    switch (err) {
    case aErrNone:
    case aErrNotReady: return aErrNone;
    case aErrCancel: return aErrCancel;
    default: return aErrIO;
    }
}

// Hands out up to max bytes of the last transfer, making one when they are used up.
aErr takeBytes(USBRecord* record, uint8_t* buffer, size_t max, size_t* got, uint32_t timeoutMs) {
    return record->received.take(buffer, max, got,
                                 [&](uint8_t* into, size_t capacity, size_t& brought) {
                                     return transferIn(record, into, capacity, timeoutMs, brought);
                                 });
}

// The failure a wait met, once.
aErr takePendingError(USBRecord* record) {
    const aErr err = record->pendingError;
    record->pendingError = aErrNone;
    return err;
}

aErr usbGet(uint8_t* byte, void* reference) {
    USBRecord* record = recordOf(reference);
    if (record == nullptr || byte == nullptr) {
        return aErrParam;
    }
    if (const aErr pending = takePendingError(record); pending != aErrNone) {
        return pending;
    }
    size_t got = 0;
    return takeBytes(record, byte, 1, &got, aUSB_READ_TIMEOUT_MS);
}

// The link reader takes a whole transfer at a time, and waits for one through usbWait below:
// never longer than it waits on any stream, so a link closes without sitting out a 1 s read.
aErr usbReadSome(uint8_t* buffer, size_t max, size_t* got, void* reference) {
    USBRecord* record = recordOf(reference);
    if (record == nullptr || buffer == nullptr || got == nullptr) {
        return aErrParam;
    }
    *got = 0;
    if (const aErr pending = takePendingError(record); pending != aErrNone) {
        return pending;
    }
    const bool dry = record->waitedDry;
    record->waitedDry = false;
    if (dry && !record->received.holding()) {
        return aErrNotReady;
    }
    return takeBytes(record, buffer, max, got, aUSB_LOOK_TIMEOUT_MS);
}

// Waits by making the transfer: what it brings stays in the read buffer for the next read.
aErr usbWait(uint32_t timeoutMs, void* reference) {
    USBRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    if (record->pendingError != aErrNone || record->received.holding()) {
        return aErrNone;
    }
    const aErr err = record->received.fill([&](uint8_t* into, size_t capacity, size_t& brought) {
        return transferIn(record, into, capacity, timeoutMs, brought);
    });
    if (err != aErrNone && err != aErrNotReady) {
        record->pendingError = err;
        return aErrNone;
    }
    record->waitedDry = err == aErrNotReady;
    return err;
}

aErr usbWrite(const uint8_t* bytes, size_t count, void* reference) {
    USBRecord* record = recordOf(reference);
    if (record == nullptr || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    size_t done = 0;
    int repeats = 0;
    while (done < count) {
        size_t size = count - done;
        if (size > record->outMaxPacket) {
            size = record->outMaxPacket;
        }
        if (size == kForbiddenTransfer) {
            size = kForbiddenTransfer - 1;
        }
        std::memcpy(record->writeBuffer.data(), bytes + done, size);
        size_t sent = 0;
        aErr err = record->transfer->bulkOut(record->device, record->writeBuffer.data(), size,
                                             aUSB_WRITE_TIMEOUT_MS, sent);
        if (sent > size) {
            sent = 0;
            err = aErrIO;
        }
        // Bytes the device accepted are never sent twice; only the rest is repeated.
        done += sent;
        if (err == aErrNone && sent == size) {
            continue;
        }
        if (++repeats > aUSB_WRITE_RETRIES) {
            return aErrWrite;
        }
    }
    return aErrNone;
}

aErr usbPut(uint8_t byte, void* reference) {
    return usbWrite(&byte, 1, reference);
}

aErr usbDelete(void* reference) {
    USBRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    record->transfer->close(record->device);
    record->check = 0;
    delete record;
    return aErrNone;
}

// A module's bulk pipes: transfers keep their bounds (no 512-byte transfer), so writes are not
// coalesced; each write ends within its transfers' time-outs. Waiting is making the IN
// transfer, so there is no poll beside the read path.
constexpr aStreamKind kUSBKind{.get = usbGet,
                               .readSome = usbReadSome,
                               .wait = usbWait,
                               .put = usbPut,
                               .write = usbWrite,
                               .del = usbDelete,
                               .callerWrites = true};

} // namespace

aErr aUSB_ParseVendorId(const char* text, uint16_t* vendorId) {
    if (text == nullptr || vendorId == nullptr) {
        return aErrParam;
    }
    const char* begin = text;
    if (begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X')) {
        begin += 2;
    }
    uint32_t value = 0;
    if (!parseHex(begin, begin + std::strlen(begin), 4, value)) {
        return aErrParse;
    }
    *vendorId = static_cast<uint16_t>(value);
    return aErrNone;
}

aErr aUSB_GetVendorId(uint16_t* vendorId) {
    if (vendorId == nullptr) {
        return aErrParam;
    }
    const char* text = std::getenv(aUSB_VENDOR_ID_VARIABLE);
    if (text == nullptr || aUSB_ParseVendorId(text, vendorId) != aErrNone) {
        *vendorId = aUSB_DefaultVendorId();
    }
    return aErrNone;
}

aErr aUSB_GetDefaultVendorId(uint16_t* vendorId) {
    if (vendorId == nullptr) {
        return aErrParam;
    }
    *vendorId = aUSB_DefaultVendorId();
    return aErrNone;
}

uint16_t aUSB_VendorId(void) {
    uint16_t vendorId = 0;
    aUSB_GetVendorId(&vendorId);
    return vendorId;
}

uint16_t aUSB_DefaultVendorId(void) {
    static_assert(CORVANE_DEFAULT_USB_VENDOR_ID > 0 && CORVANE_DEFAULT_USB_VENDOR_ID <= 0xFFFF,
                  "the default USB vendor id must be a 16-bit value");
    return static_cast<uint16_t>(CORVANE_DEFAULT_USB_VENDOR_ID);
}

aErr aUSB_BuildInstanceId(uint16_t vendorId, uint16_t productId, const char* serial, char* buffer,
                          size_t size) {
    if (serial == nullptr || buffer == nullptr) {
        return aErrParam;
    }
    std::string text = "USB\\VID_";
    appendHex4(text, vendorId);
    text += "&PID_";
    appendHex4(text, productId);
    text += '\\';
    text += serial;
    if (text.size() + 1 > size) {
        return aErrSize;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return aErrNone;
}

aErr aUSB_ParseInstanceId(const char* instanceId, uint16_t vendorId, uint32_t* serialNumber,
                          uint8_t* model) {
    if (instanceId == nullptr || serialNumber == nullptr) {
        return aErrParam;
    }
    const std::string prefix = familyPrefix(vendorId);
    const size_t length = std::strlen(instanceId);
    if (length < prefix.size() || std::memcmp(instanceId, prefix.data(), prefix.size()) != 0) {
        return aErrNotFound;
    }
    const char* end = instanceId + length;
    const char* modelText = instanceId + prefix.size();
    uint32_t modelValue = 0;
    if (end - modelText < 3 || modelText[0] != '0' ||
        !parseHex(modelText + 1, modelText + 3, 2, modelValue)) {
        return aErrParse;
    }
    const char* lastSlash = std::strrchr(instanceId, '\\');
    const char* part = lastSlash + 1; // the prefix itself holds a backslash
    if (part <= modelText) {
        return aErrParse;
    }
    uint32_t serial = 0;
    static const char kRficb[] = "RFICB";
    const size_t rficbLength = sizeof kRficb - 1;
    if (length >= 2 && std::strcmp(end - 2, ".A") == 0) {
        if (static_cast<size_t>(end - part) < rficbLength + 2 ||
            std::memcmp(part, kRficb, rficbLength) != 0 ||
            !parseDecimal(part + rficbLength, end - 2, serial)) {
            return aErrParse;
        }
    } else if (!parseHex(part, end, 8, serial)) {
        return aErrParse;
    }
    *serialNumber = serial;
    if (model != nullptr) {
        *model = static_cast<uint8_t>(modelValue);
    }
    return aErrNone;
}

aErr aStream_CreateUSBOnTransfer(const corvane::platform::UsbTransfer* transfer, void* device,
                                 const corvane::platform::UsbPipes& pipes, aStream** stream) {
    if (stream != nullptr) {
        *stream = nullptr;
    }
    if (transfer == nullptr || transfer->close == nullptr) {
        return aErrParam;
    }
    if (stream == nullptr || transfer->bulkIn == nullptr || transfer->bulkOut == nullptr ||
        pipes.inMaxPacket == 0 || pipes.outMaxPacket == 0) {
        transfer->close(device);
        return aErrParam;
    }
    auto* record = new (std::nothrow) USBRecord{};
    if (record == nullptr) {
        transfer->close(device);
        return aErrMemory;
    }
    record->transfer = transfer;
    record->device = device;
    record->outMaxPacket = pipes.outMaxPacket;
    try {
        record->received = aStreamReadBuffer(pipes.inMaxPacket);
        record->writeBuffer.resize(pipes.outMaxPacket);
    } catch (...) {
        usbDelete(record);
        return aErrMemory;
    }
    *stream = aStream_CreateOfKind(kUSBKind, record);
    if (*stream == nullptr) {
        usbDelete(record);
        return aErrMemory;
    }
    return aErrNone;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    try {
        const uint16_t vendorId = aUSB_VendorId();
        auto matches = [&](const corvane::platform::UsbDeviceInfo& info) {
            char instanceId[300];
            uint32_t found = 0;
            return aUSB_BuildInstanceId(info.vendorId, info.productId, info.serial, instanceId,
                                        sizeof instanceId) == aErrNone &&
                   aUSB_ParseInstanceId(instanceId, vendorId, &found, nullptr) == aErrNone &&
                   found == serialNumber;
        };
        const corvane::platform::UsbTransfer* transfer = nullptr;
        void* device = nullptr;
        corvane::platform::UsbPipes pipes;
        aErr err = corvane::usb::openModule(vendorId, matches, transfer, device, pipes);
        if (err != aErrNone) {
            return err;
        }
        return aStream_CreateUSBOnTransfer(transfer, device, pipes, stream);
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    } catch (...) {
        return aErrIO;
    }
}
