// Serial ports for the serial stream: the operating-system procedures behind it. One backend
// per OS lives in platform/<os>/; nothing here exposes a system error number.
#ifndef CORVANE_PLATFORM_SERIAL_H
#define CORVANE_PLATFORM_SERIAL_H

#include "corvane/aError.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::platform {

struct SerialSettings {
    uint32_t baud = 9600; // one of 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400
    bool oddParity = false;
    uint8_t dataBits = 8; // 8 or 7
    uint8_t stopBits = 1; // 1 or 2
};

struct SerialPort;

// Opens path for exclusive, non-blocking raw use with the settings, keeping the port's own
// settings for closeSerialPort. aErrMemory when memory runs out; aErrIO when the port cannot be
// opened or configured (busy, missing, not a terminal, refused).
aErr openSerialPort(const char* path, const SerialSettings& settings, SerialPort*& out);

// Reads up to size bytes that are there now, without waiting; got is 0 when none are.
// aErrIO when the read fails.
aErr readSerialPort(SerialPort* port, uint8_t* buffer, size_t size, size_t& got);

// Waits at most timeoutMs (0: only looks) until the port has bytes to read, or a fault or
// hang-up that a read will report. aErrNone when it has, aErrNotReady when the time ran out,
// aErrIO when the wait itself failed.
aErr waitSerialPortReadable(SerialPort* port, uint32_t timeoutMs);

// Waits as waitSerialPortReadable does, but also ends once wake (a platform wake-up) is raised:
// aErrCancel then, whether or not the port has bytes too.
aErr watchSerialPort(SerialPort* port, int wake, uint32_t timeoutMs);

// Hands all count bytes to the port, waiting at most timeoutMs in all for room. aErrIO when a
// write fails or the time runs out (some bytes may then have gone).
aErr writeSerialPort(SerialPort* port, const uint8_t* bytes, size_t count, uint32_t timeoutMs);

// The device path of a port name: a name without "/" is a device under /dev.
std::string serialDevicePath(const char* name);

// Why path cannot be opened as a serial port, in words for the user that name the port: missing,
// held by another program, not a terminal, or not permitted (naming the group whose members may
// open it). Empty when it can be opened now.
std::string describeSerialOpenFailure(const char* path);

// Restores the settings found at open, gives up exclusive use and closes the port; the port is
// gone either way. aErrIO when restoring the settings failed.
aErr closeSerialPort(SerialPort* port);

} // namespace corvane::platform

#endif
