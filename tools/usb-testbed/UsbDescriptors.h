// The descriptors the emulated devices present: a module of the family (one vendor interface
// with two high-speed bulk pipes) and the i.MX boot ROM's HID interface with its report layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usbtestbed {

using Bytes = std::vector<uint8_t>;

// String descriptor indexes both devices use.
inline constexpr uint8_t kManufacturerIndex = 1;
inline constexpr uint8_t kProductIndex = 2;
inline constexpr uint8_t kSerialIndex = 3;

// The module's bulk pipes: high speed, so the USB stream's "no 512-byte transfer" rule matters.
inline constexpr uint16_t kModuleMaxPacket = 512;
inline constexpr uint8_t kModuleInEndpoint = 0x81;
inline constexpr uint8_t kModuleOutEndpoint = 0x01;

// The boot ROM's interrupt IN pipe carries reports 3 and 4; reports 1 and 2 go through the
// control pipe (SET_REPORT), as the ROM's HID interface has no OUT endpoint.
inline constexpr uint8_t kRomInEndpoint = 0x81;
inline constexpr uint16_t kRomMaxPacket = 64;

// Device descriptor followed by the whole configuration, as the kernel exposes them in sysfs.
Bytes moduleDescriptors(uint16_t vendorId, uint16_t productId);
Bytes romDescriptors(uint16_t vendorId, uint16_t productId);

// The ROM's HID report descriptor: output reports 1 (16 bytes) and 2 (1024 bytes), input
// reports 3 (4 bytes) and 4 (64 bytes).
Bytes romReportDescriptor();

// Payload size of a report id of the ROM, 0 for an id it does not have.
size_t romReportSize(uint8_t reportId);

// A string descriptor (UTF-16LE of ASCII text); index 0 is the language list (US English).
Bytes stringDescriptor(const std::string& text);
Bytes languageDescriptor();

} // namespace usbtestbed
