// An in-memory USB device behind the USB stream's transfer table: scripted IN transfers and
// recorded OUT transfers, with failures and short transfers on demand.
#pragma once

#include "platform/usb.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

class FakeUSBTransfer {
  public:
    struct InStep {
        aErr err;
        std::vector<uint8_t> bytes;
    };
    std::deque<InStep> inScript;   // used up front to back; empty means a time-out
    std::vector<uint32_t> inTimeouts; // time-out asked for in each IN transfer
    std::vector<size_t> outSizes;  // size asked for in each OUT transfer, failed ones included
    std::vector<uint8_t> outBytes; // bytes the device accepted, in order
    int failNextOuts = 0;          // that many OUT transfers fail with nothing sent
    size_t shortOutBy = 0;         // the next OUT transfer sends this many bytes fewer
    bool closed = false;

    static const corvane::platform::UsbTransfer table;

  private:
    static aErr bulkIn(void* device, uint8_t* buffer, size_t size, uint32_t timeoutMs,
                       size_t& got) {
        auto* self = static_cast<FakeUSBTransfer*>(device);
        self->inTimeouts.push_back(timeoutMs);
        got = 0;
        if (self->inScript.empty()) {
            return aErrNotReady;
        }
        InStep step = self->inScript.front();
        self->inScript.pop_front();
        got = step.bytes.size() < size ? step.bytes.size() : size;
        if (got > 0) {
            std::memcpy(buffer, step.bytes.data(), got);
        }
        return step.err;
    }
    static aErr bulkOut(void* device, const uint8_t* bytes, size_t count, uint32_t, size_t& sent) {
        auto* self = static_cast<FakeUSBTransfer*>(device);
        self->outSizes.push_back(count);
        sent = 0;
        if (self->failNextOuts > 0) {
            --self->failNextOuts;
            return aErrIO;
        }
        sent = count - (self->shortOutBy < count ? self->shortOutBy : count);
        self->shortOutBy = 0;
        self->outBytes.insert(self->outBytes.end(), bytes, bytes + sent);
        return sent == count ? aErrNone : aErrTimeout;
    }
    static void close(void* device) { static_cast<FakeUSBTransfer*>(device)->closed = true; }
};

inline const corvane::platform::UsbTransfer FakeUSBTransfer::table{bulkIn, bulkOut, close};
