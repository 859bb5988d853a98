// USB for the USB stream and module discovery: the operating-system procedures behind them.
// An open module is reached only through the UsbTransfer table, so a test can put an in-memory
// device behind the same stream logic.
#ifndef CORVANE_PLATFORM_USB_H
#define CORVANE_PLATFORM_USB_H

#include "corvane/aError.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvane::platform {

// The procedures of one open module; each receives the device given with the table.
struct UsbTransfer {
    // Reads one transfer of at most size bytes from the bulk IN pipe, waiting at most timeoutMs.
    // got receives the bytes that came, also when the wait ended first. Required.
    //   aErrNone     bytes came (got may be 0: the device sent an empty packet);
    //   aErrNotReady nothing came in time, or the pipe stalled and was cleared;
    //   aErrCancel   the transfer was cancelled;
    //   aErrIO       the device is gone or the transfer failed otherwise.
    aErr (*bulkIn)(void* device, uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& got);
    // Sends count bytes as one transfer on the bulk OUT pipe, waiting at most timeoutMs. sent
    // receives how many went out, also on failure. Required.
    //   aErrNone only when all count bytes went; aErrTimeout when the wait ended first;
    //   aErrIO when the device is gone or the transfer failed otherwise.
    aErr (*bulkOut)(void* device, const uint8_t* bytes, size_t count, uint32_t timeoutMs,
                    size_t& sent);
    // Gives up the interface and closes the device; the device pointer is dead afterwards.
    // Required; called once.
    void (*close)(void* device);
};

// Identity of one present device, as read from its descriptors.
struct UsbDeviceInfo {
    uint16_t vendorId;
    uint16_t productId;
    const char* serial; // the serial-number string; "" when the device has none or it is unreadable
};

// Calls visit for every present device of vendorId whose product id has 0 as its high byte,
// until visit returns true. aErrNone also when there is none; aErrPermission when a candidate
// could not be opened to read its serial string and none was visited; aErrIO when the devices
// cannot be listed at all.
aErr walkUsbDevices(uint16_t vendorId, const std::function<bool(const UsbDeviceInfo&)>& visit);

// Maximum packet sizes of an open module's bulk pipes.
struct UsbPipes {
    uint16_t inMaxPacket = 0;
    uint16_t outMaxPacket = 0;
};

// Opens the first device of walkUsbDevices that matches: on its first interface whose
// alternate setting 0 is class 0xFF, subclass 0x88, protocol 0x10, with a bulk IN and a bulk
// OUT endpoint (an interrupt endpoint is allowed, any other kind is not), detaching a kernel
// driver if one is bound and claiming the interface; both bulk pipes are reset.
//   aErrNotFound no device matches; aErrPermission a candidate or the match cannot be opened by
//   this user; aErrBusy the interface is claimed elsewhere; aErrInitialization no such
//   interface or endpoints, or setting it up failed; aErrMemory; aErrIO.
aErr openUsbDevice(uint16_t vendorId, const std::function<bool(const UsbDeviceInfo&)>& matches,
                   const UsbTransfer*& transfer, void*& device, UsbPipes& pipes);

} // namespace corvane::platform

#endif
