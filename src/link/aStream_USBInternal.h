// Internal USB helpers shared by the USB stream, module discovery and the tests: the family's
// vendor id, the instance-identifier text that names a module, and the stream over any
// transfer table (the libusb one, or an in-memory fake).
#pragma once

#include "corvane/aStream.h"

#include "platform/usb.h"

#include <cstddef>
#include <cstdint>

// aUSB_GetVendorId and aUSB_GetDefaultVendorId (corvane/aUSB.h) as values, for the library's
// own callers.
uint16_t aUSB_VendorId(void);
uint16_t aUSB_DefaultVendorId(void);

// Writes the instance identifier "USB\VID_vvvv&PID_pppp\SERIAL" (upper-case hexadecimal ids)
// into buffer, terminated. aErrParam for null arguments; aErrSize when it does not fit.
aErr aUSB_BuildInstanceId(uint16_t vendorId, uint16_t productId, const char* serial, char* buffer,
                          size_t size);

// Reads a module's serial number and model from an instance identifier:
// - it must begin with "USB\VID_", vendorId as four upper-case hexadecimal digits and "&PID_0"
//   (else aErrNotFound: not one of the family's modules);
// - the serial number is the part after the last backslash: "RFICB<decimal>.A" when the
//   identifier ends with ".A", else hexadecimal digits (at most eight);
// - the model is the two hexadecimal digits after the prefix and one more "0".
// aErrParse when the serial number or model is malformed; aErrParam for null arguments (model
// may be null).
aErr aUSB_ParseInstanceId(const char* instanceId, uint16_t vendorId, uint32_t* serialNumber,
                          uint8_t* model);

// Longest transfer the USB stream's get may wait for, and the longest a write transfer waits.
constexpr uint32_t aUSB_READ_TIMEOUT_MS = 1000;
// The transfer a block read makes when nothing waits: a look, not a wait.
constexpr uint32_t aUSB_LOOK_TIMEOUT_MS = 1;
constexpr uint32_t aUSB_WRITE_TIMEOUT_MS = 5000;
// Failed or short transfers a single write may repeat before it gives up.
constexpr int aUSB_WRITE_RETRIES = 10;

// A USB stream over an open device behind transfer, with the pipes' maximum packet sizes. The
// stream owns the device from here on (also on failure, when it is closed at once).
// aErrParam for null or incomplete arguments; aErrMemory when memory runs out.
aErr aStream_CreateUSBOnTransfer(const corvane::platform::UsbTransfer* transfer, void* device,
                                 const corvane::platform::UsbPipes& pipes, aStream** stream);
