// The HID devices on hidapi, the same under every backend: hidapi itself is the OS's part (hidraw
// on Linux, the HID class driver on Windows). Its global state lives from the first open device
// to the last close.
#include "os/hid.h"

#include <hidapi.h>

#include <mutex>
#include <new>

namespace corvane::platform {

struct HidDevice {
    hid_device* handle;
};

namespace {

std::mutex hidLock;
size_t openDevices = 0; // guarded by hidLock

} // namespace

HidDevice* openHidDevice(uint16_t vendorId, uint16_t productId) {
    std::lock_guard<std::mutex> guard(hidLock);
    if (openDevices == 0 && hid_init() != 0) {
        return nullptr;
    }
    hid_device* handle = hid_open(vendorId, productId, nullptr);
    auto* device = handle != nullptr ? new (std::nothrow) HidDevice{handle} : nullptr;
    if (device == nullptr) {
        if (handle != nullptr) {
            hid_close(handle);
        }
        if (openDevices == 0) {
            hid_exit();
        }
        return nullptr;
    }
    ++openDevices;
    return device;
}

int writeHidDevice(HidDevice* device, const uint8_t* bytes, size_t count) {
    return device != nullptr ? hid_write(device->handle, bytes, count) : -1;
}

int readHidDevice(HidDevice* device, uint8_t* buffer, size_t size, int timeoutMs) {
    return device != nullptr ? hid_read_timeout(device->handle, buffer, size, timeoutMs) : -1;
}

void closeHidDevice(HidDevice* device) {
    if (device == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(hidLock);
    hid_close(device->handle);
    delete device;
    if (--openDevices == 0) {
        hid_exit();
    }
}

} // namespace corvane::platform
