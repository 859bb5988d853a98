// USB HID devices for the updater's boot ROM loader: the only platform procedures the updater
// library reaches for devices. Everything else it says to a device goes through the link
// library's streams.
#ifndef CORVANE_OS_HID_H
#define CORVANE_OS_HID_H

#include <cstddef>
#include <cstdint>

namespace corvane::platform {

struct HidDevice;

// Opens the first HID device with the ids (any serial number). Null when the HID layer cannot
// start, no such device is present or it may not be opened.
HidDevice* openHidDevice(uint16_t vendorId, uint16_t productId);

// Sends one report, its id first: the bytes written, -1 on failure.
int writeHidDevice(HidDevice* device, const uint8_t* bytes, size_t count);

// Waits at most timeoutMs for one report and copies at most size bytes of it, its id first:
// the bytes copied, 0 when none came in time, -1 on failure.
int readHidDevice(HidDevice* device, uint8_t* buffer, size_t size, int timeoutMs);

// Closes the device and, with the last open device, the HID layer; null is ignored.
void closeHidDevice(HidDevice* device);

} // namespace corvane::platform

#endif
