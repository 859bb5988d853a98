// UART transport of the serial download protocol on the platform layer's serial port calls.
#include "Serial_SDPLoader.h"

#include "Debug.h"
#include "platform/platform.h"
#include "platform/serial.h"

#include <cstdio>

using namespace corvane::platform;

Serial_SDPLoader::Serial_SDPLoader(const std::string& portName)
    : path_(serialDevicePath(portName.c_str())) {}

Serial_SDPLoader::~Serial_SDPLoader() {
    if (port_ != nullptr) {
        closeSerialPort(port_);
    }
}

bool Serial_SDPLoader::open() {
    if (port_ != nullptr) {
        return true;
    }
    SerialSettings settings;
    settings.baud = kBaudRate;
    if (openSerialPort(path_.c_str(), settings, port_) != aErrNone) {
        printf("Unable to open Serial Port: %s\n", path_.c_str());
        failure_ = describeSerialOpenFailure(path_.c_str());
        return false;
    }
    const uint64_t until = monotonicMilliseconds() + resyncMs;
    uint8_t buffer[256];
    for (uint64_t now = monotonicMilliseconds(); now < until; now = monotonicMilliseconds()) {
        size_t got = 0;
        if (waitSerialPortReadable(port_, static_cast<uint32_t>(until - now)) == aErrNone &&
            readSerialPort(port_, buffer, sizeof buffer, got) == aErrNone && got > 0) {
            Debug_Print(DEBUG_iMXSerial, "Dropped %zu stale bytes\n", got);
        }
    }
    return true;
}

uint32_t Serial_SDPLoader::pendingMs(size_t count) const {
    return static_cast<uint32_t>(count * 10 * 1000 / kBaudRate + 1);
}

ssize_t Serial_SDPLoader::write(const std::vector<uint8_t>& bytes) {
    if (port_ == nullptr || bytes.size() < 2) {
        return -1;
    }
    const size_t count = bytes.size() - 1;
    const uint32_t timeoutMs = 2 * pendingMs(count) + 1000;
    if (writeSerialPort(port_, bytes.data() + 1, count, timeoutMs) != aErrNone) {
        char text[160];
        snprintf(text, sizeof text, "serial port %s did not take %zu bytes within %u ms",
                 path_.c_str(), count, timeoutMs);
        failure_ = text;
        return -1;
    }
    return static_cast<ssize_t>(count);
}

ssize_t Serial_SDPLoader::read(std::vector<uint8_t>& bytesOut, int timeoutMs) {
    if (port_ == nullptr) {
        return -1;
    }
    ssize_t total = 0;
    uint32_t wait = timeoutMs > 0 ? static_cast<uint32_t>(timeoutMs) : 0;
    uint8_t buffer[256];
    // A device that never falls quiet is cut off after this much.
    constexpr ssize_t kMaxRead = 4096;
    while (total < kMaxRead) {
        size_t got = 0;
        if (waitSerialPortReadable(port_, wait) != aErrNone ||
            readSerialPort(port_, buffer, sizeof buffer, got) != aErrNone || got == 0) {
            break;
        }
        bytesOut.insert(bytesOut.end(), buffer, buffer + got);
        total += static_cast<ssize_t>(got);
        wait = interByteGapMs;
    }
    return total;
}

bool Serial_SDPLoader::parseStatus(const std::vector<uint8_t>& bytes, size_t index,
                                   uint32_t& valueOut) {
    if (index >= 16 || bytes.size() < 4 * index + 8) {
        return false;
    }
    const size_t at = 4 + index;
    valueOut |= uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
                uint32_t{bytes[at + 3]} << 24;
    return true;
}
