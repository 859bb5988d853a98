// USB on libusb-1.0's WinUSB backend: device walk by vendor id with serial strings, the module
// interface (class 0xFF/0x88/0x10) claimed with its bulk pipes, and bulk transfers. A device
// with no WinUSB driver bound cannot be opened; that reads as a refusal, for which the Updater
// names the fix. libusb codes are turned into aErr here and nowhere else.
#include "platform/usb.h"

#include "platform/libusb/usb_interface.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace corvane::platform {

namespace {

// One libusb context for the process, alive while anything uses it.
std::mutex gContextLock;
libusb_context* gContext = nullptr; // guarded by gContextLock
unsigned gContextUsers = 0;         // guarded by gContextLock

libusb_context* acquireContext() {
    std::lock_guard lock(gContextLock);
    if (gContext == nullptr && libusb_init(&gContext) != LIBUSB_SUCCESS) {
        gContext = nullptr;
        return nullptr;
    }
    ++gContextUsers;
    return gContext;
}

void releaseContext() {
    std::lock_guard lock(gContextLock);
    if (gContextUsers > 0 && --gContextUsers == 0) {
        libusb_exit(gContext);
        gContext = nullptr;
    }
}

struct ContextHold {
    libusb_context* context = acquireContext();
    ~ContextHold() {
        if (context != nullptr) {
            releaseContext();
        }
    }
};

// Bulk IN runs as one transfer kept in flight across waits: a wait that ends empty leaves it
// queued instead of cancelling it, so an idle link costs a poll, not a submit and a discard
// every time its reader looks. Only the link's reader thread calls bulkIn.
struct InFlight {
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> buffer;
    bool submitted = false;
    int done = 0;    // set by the completion callback, on whichever thread handles events
    size_t have = 0; // bytes of a completed transfer not yet handed out
    size_t offset = 0;
};

struct OpenDevice {
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = -1;
    uint8_t inEndpoint = 0;
    uint8_t outEndpoint = 0;
    InFlight in;
};

void LIBUSB_CALL inCompleted(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

// Handles libusb events until the transfer completes or timeoutMs pass. False when it has not
// completed.
bool awaitIn(OpenDevice& open, uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (open.in.done == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        timeval tv{static_cast<long>(left.count() / 1000000),
                   static_cast<long>(left.count() % 1000000)};
        const int rc = libusb_handle_events_timeout_completed(open.context, &tv, &open.in.done);
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
            return open.in.done != 0;
        }
    }
    return true;
}

aErr submitIn(OpenDevice& open, size_t size) {
    InFlight& in = open.in;
    if (in.transfer == nullptr) {
        in.transfer = libusb_alloc_transfer(0);
        if (in.transfer == nullptr) {
            return aErrMemory;
        }
    }
    if (in.buffer.size() < size) {
        in.buffer.resize(size);
    }
    // No libusb time-out: the transfer waits as long as the link is open; each wait bounds itself.
    libusb_fill_bulk_transfer(in.transfer, open.handle, open.inEndpoint, in.buffer.data(),
                              static_cast<int>(size), inCompleted, &in.done, 0);
    in.done = 0;
    if (libusb_submit_transfer(in.transfer) != LIBUSB_SUCCESS) {
        return aErrIO;
    }
    in.submitted = true;
    return aErrNone;
}

aErr bulkIn(void* device, uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& got) {
    auto* open = static_cast<OpenDevice*>(device);
    InFlight& in = open->in;
    got = 0;
    if (in.have == 0) {
        if (!in.submitted) {
            if (const aErr err = submitIn(*open, size); err != aErrNone) {
                return err;
            }
        }
        if (!awaitIn(*open, timeoutMs)) {
            return aErrNotReady;
        }
        in.submitted = false;
        switch (in.transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED: break;
        case LIBUSB_TRANSFER_STALL:
            libusb_clear_halt(open->handle, open->inEndpoint);
            return aErrNotReady;
        case LIBUSB_TRANSFER_CANCELLED: return aErrCancel;
        default: return aErrIO; // gone, overflow or failed
        }
        if (in.transfer->actual_length == 0) {
            return aErrNone; // an empty packet
        }
        in.have = static_cast<size_t>(in.transfer->actual_length);
        in.offset = 0;
    }
    // A caller asking for less than the transfer was made for gets the rest next time.
    got = std::min(size, in.have);
    std::memcpy(buffer, in.buffer.data() + in.offset, got);
    in.offset += got;
    in.have -= got;
    return aErrNone;
}

// Cancels the transfer in flight and waits, boundedly, for libusb to give it back.
void retireIn(OpenDevice& open) {
    InFlight& in = open.in;
    if (in.submitted) {
        if (libusb_cancel_transfer(in.transfer) == LIBUSB_SUCCESS || in.done == 0) {
            awaitIn(open, 2000);
        }
        in.submitted = in.done == 0;
    }
    // A transfer libusb never gave back must not be freed under it.
    if (in.transfer != nullptr && !in.submitted) {
        libusb_free_transfer(in.transfer);
    }
    in.transfer = nullptr;
}

aErr bulkOut(void* device, const uint8_t* bytes, size_t count, uint32_t timeoutMs, size_t& sent) {
    auto* open = static_cast<OpenDevice*>(device);
    int transferred = 0;
    // libusb takes a mutable buffer for both directions; an OUT transfer only reads it.
    int rc = libusb_bulk_transfer(open->handle, open->outEndpoint, const_cast<uint8_t*>(bytes),
                                  static_cast<int>(count), &transferred, timeoutMs);
    sent = transferred > 0 ? static_cast<size_t>(transferred) : 0;
    switch (rc) {
    case LIBUSB_SUCCESS: return sent == count ? aErrNone : aErrIO;
    case LIBUSB_ERROR_TIMEOUT: return aErrTimeout;
    case LIBUSB_ERROR_PIPE: libusb_clear_halt(open->handle, open->outEndpoint); return aErrIO;
    default: return aErrIO;
    }
}

void closeDevice(void* device) {
    auto* open = static_cast<OpenDevice*>(device);
    if (open == nullptr) {
        return;
    }
    retireIn(*open);
    if (open->interfaceNumber >= 0) {
        libusb_release_interface(open->handle, open->interfaceNumber);
    }
    libusb_close(open->handle);
    delete open;
    releaseContext();
}

const UsbTransfer kLibusbTransfer{bulkIn, bulkOut, closeDevice};

// Finds the module interface and its pipes in the active configuration.
aErr findInterface(libusb_device* device, OpenDevice& open, UsbPipes& pipes) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
        return aErrInitialization;
    }
    ModuleInterface found;
    const aErr result = findModuleInterface(*config, found);
    libusb_free_config_descriptor(config);
    if (found.number >= 0) {
        open.interfaceNumber = found.number;
        open.inEndpoint = found.inEndpoint;
        open.outEndpoint = found.outEndpoint;
        pipes = found.pipes;
    }
    return result;
}

// No kernel driver is detached on Windows: the device's own driver is WinUSB or it was never
// opened.
aErr claim(OpenDevice& open) {
    const int number = open.interfaceNumber;
    switch (libusb_claim_interface(open.handle, number)) {
    case LIBUSB_SUCCESS: break;
    case LIBUSB_ERROR_BUSY: return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_NOT_SUPPORTED: return aErrPermission;
    case LIBUSB_ERROR_NO_DEVICE: return aErrNotFound;
    default: return aErrInitialization;
    }
    if (libusb_clear_halt(open.handle, open.inEndpoint) != LIBUSB_SUCCESS ||
        libusb_clear_halt(open.handle, open.outEndpoint) != LIBUSB_SUCCESS) {
        libusb_release_interface(open.handle, number);
        return aErrInitialization;
    }
    return aErrNone;
}

// Walks the candidates, opening each to read its serial string. visit gets the open handle
// and returns true to stop (keeping the handle, which it then owns) or false to go on.
aErr walk(
    libusb_context* context, uint16_t vendorId,
    const std::function<bool(libusb_device*, libusb_device_handle*, const UsbDeviceInfo&)>& visit) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return aErrIO;
    }
    bool denied = false;
    bool visited = false;
    bool stopped = false;
    for (ssize_t i = 0; i < count && !stopped; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != vendorId || (descriptor.idProduct & 0xFF00) != 0) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        int rc = libusb_open(list[i], &handle);
        if (rc != LIBUSB_SUCCESS) {
            // NOT_SUPPORTED: no WinUSB driver is bound to the device.
            denied = denied || rc == LIBUSB_ERROR_ACCESS || rc == LIBUSB_ERROR_NOT_SUPPORTED;
            continue;
        }
        unsigned char serial[256] = {};
        if (descriptor.iSerialNumber == 0 ||
            libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial,
                                               sizeof serial - 1) < 0) {
            serial[0] = '\0';
        }
        visited = true;
        UsbDeviceInfo info{descriptor.idVendor, descriptor.idProduct,
                           reinterpret_cast<const char*>(serial)};
        stopped = visit(list[i], handle, info);
        if (!stopped) {
            libusb_close(handle);
        }
    }
    libusb_free_device_list(list, 1);
    return denied && !visited ? aErrPermission : aErrNone;
}

} // namespace

aErr walkUsbDevices(uint16_t vendorId, const std::function<bool(const UsbDeviceInfo&)>& visit) {
    ContextHold hold;
    if (hold.context == nullptr) {
        return aErrIO;
    }
    return walk(hold.context, vendorId,
                [&](libusb_device*, libusb_device_handle*, const UsbDeviceInfo& info) {
                    return visit(info);
                });
}

aErr openUsbDevice(uint16_t vendorId, const std::function<bool(const UsbDeviceInfo&)>& matches,
                   const UsbTransfer*& transfer, void*& device, UsbPipes& pipes) {
    transfer = nullptr;
    device = nullptr;
    ContextHold hold;
    if (hold.context == nullptr) {
        return aErrIO;
    }
    libusb_device_handle* handle = nullptr;
    bool sawCandidateDenied = false;
    aErr walked = walk(hold.context, vendorId,
                       [&](libusb_device*, libusb_device_handle* open, const UsbDeviceInfo& info) {
                           if (!matches(info)) {
                               return false;
                           }
                           handle = open;
                           return true;
                       });
    sawCandidateDenied = walked == aErrPermission;
    if (walked == aErrIO) {
        return aErrIO;
    }
    if (handle == nullptr) {
        return sawCandidateDenied ? aErrPermission : aErrNotFound;
    }
    auto* open = new (std::nothrow) OpenDevice{};
    if (open == nullptr) {
        libusb_close(handle);
        return aErrMemory;
    }
    open->handle = handle;
    open->context = hold.context;
    // The handle holds its own reference to the device, which the walk's list no longer does.
    aErr err = findInterface(libusb_get_device(handle), *open, pipes);
    if (err == aErrNone) {
        err = claim(*open);
    }
    if (err != aErrNone) {
        libusb_close(handle);
        delete open;
        return err;
    }
    // The open device keeps the context alive until closeDevice.
    acquireContext();
    transfer = &kLibusbTransfer;
    device = open;
    return aErrNone;
}

} // namespace corvane::platform
