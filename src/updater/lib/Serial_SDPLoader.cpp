// UART transport of the serial download protocol on the library's serial stream.
#include "Serial_SDPLoader.h"

#include "Debug.h"
#include "NxpIspClient.h"
#include "SerialPortText.h"

#include <corvane/aTime.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace {

// 115200 baud in aStream_CreateSerial's table of rates.
constexpr uint32_t kBaudIndex = 6;

// How many bytes of a frame a ROM may hold, in order of likelihood: none (a frame boundary), then
// what the NXP probe that runs first on every port leaves, then the rest.
constexpr std::array<size_t, Serial_SDPLoader::kFrameSize> associationGuesses() {
    constexpr size_t kFrame = Serial_SDPLoader::kFrameSize;
    constexpr size_t kLeft = NxpIspClient::kSilentPortBytes % kFrame;
    std::array<size_t, kFrame> guesses{};
    size_t next = 1; // guesses[0] is the boundary
    if (kLeft != 0) {
        guesses[next++] = kLeft;
    }
    for (size_t held = 1; held < kFrame; ++held) {
        if (held != kLeft) {
            guesses[next++] = held;
        }
    }
    return guesses;
}

} // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& portName)
    : portName_(portName), path_(serialDevicePath(portName)) {}

Serial_SDPLoader::~Serial_SDPLoader() {
    if (stream_ != nullptr) {
        aStream_Destroy(&stream_);
    }
}

bool Serial_SDPLoader::open() {
    if (stream_ != nullptr) {
        return true;
    }
    if (aStream_CreateSerial(portName_.c_str(), kBaudIndex, 0, 0, 0, &stream_) != aErrNone) {
        printf("Unable to open Serial Port: %s\n", path_.c_str());
        failure_ = serialOpenFailure(portName_);
        return false;
    }
    if (!associate()) {
        failure_ = "the boot ROM on " + path_ + " did not answer the association handshake";
        aStream_Destroy(&stream_);
        return false;
    }
    return true;
}

void Serial_SDPLoader::attach(aStream* stream) {
    if (stream_ != nullptr) {
        aStream_Destroy(&stream_);
    }
    stream_ = stream;
    failure_.clear();
}

bool Serial_SDPLoader::tryAssociation(size_t fill) {
    std::vector<uint8_t> bytes(fill, 0);
    bytes.insert(bytes.end(), std::begin(kAssociation), std::end(kAssociation));
    // An echo later than the wait before means that try worked: send nothing more.
    std::vector<uint8_t> stale;
    takeAvailable(stale, SIZE_MAX);
    if (std::search(stale.begin(), stale.end(), std::begin(kAssociation), std::end(kAssociation)) !=
        stale.end()) {
        return true;
    }
    if (aStream_Write(stream_, bytes.data(), bytes.size()) != aErrNone) {
        return false;
    }
    // A ROM may answer a completed frame of its own before the echo: look for the key anywhere.
    std::vector<uint8_t> reply;
    const uint64_t deadline =
        aTime_GetMSTicks() + pendingMs(bytes.size() + sizeof kAssociation) + echoWaitMs;
    for (uint64_t now = aTime_GetMSTicks(); now < deadline; now = aTime_GetMSTicks()) {
        if (aStream_Wait(stream_, static_cast<uint32_t>(deadline - now)) != aErrNone) {
            continue;
        }
        takeAvailable(reply, 256);
        if (std::search(reply.begin(), reply.end(), std::begin(kAssociation),
                        std::end(kAssociation)) != reply.end()) {
            return true;
        }
        if (reply.size() > 256) {
            reply.erase(reply.begin(), reply.end() - sizeof kAssociation);
        }
    }
    return false;
}

bool Serial_SDPLoader::associate() {
    static constexpr std::array<size_t, kFrameSize> kGuesses = associationGuesses();
    size_t sent = 0; // bytes this handshake sent so far: they stay in a ROM that holds a frame
    for (size_t held : kGuesses) {
        const size_t fill = (2 * kFrameSize - (held + sent) % kFrameSize) % kFrameSize;
        if (tryAssociation(fill)) {
            Debug_Print(DEBUG_iMXSerial, "Associated after completing a frame of %zu bytes\n",
                        held);
            return true;
        }
        sent += fill + sizeof kAssociation;
    }
    const uint64_t until = aTime_GetMSTicks() + quietMs;
    std::vector<uint8_t> stale;
    for (uint64_t now = aTime_GetMSTicks(); now < until; now = aTime_GetMSTicks()) {
        if (aStream_Wait(stream_, static_cast<uint32_t>(until - now)) == aErrNone) {
            stale.clear();
            takeAvailable(stale, 256);
        }
    }
    return tryAssociation(0);
}

uint32_t Serial_SDPLoader::pendingMs(size_t count) const {
    return static_cast<uint32_t>(count * 10 * 1000 / kBaudRate + 1);
}

size_t Serial_SDPLoader::takeAvailable(std::vector<uint8_t>& bytesOut, size_t max) {
    size_t taken = 0;
    uint8_t byte = 0;
    while (taken < max && aStream_Read(stream_, &byte, 1) == aErrNone) {
        bytesOut.push_back(byte);
        ++taken;
    }
    return taken;
}

std::ptrdiff_t Serial_SDPLoader::write(const std::vector<uint8_t>& bytes) {
    if (stream_ == nullptr || bytes.size() < 2) {
        return -1;
    }
    const size_t count = bytes.size() - 1;
    const aErr err = aStream_Write(stream_, bytes.data() + 1, count);
    if (err != aErrNone) {
        char text[160];
        snprintf(text, sizeof text, "serial port %s did not take the %zu bytes written to it (%s)",
                 path_.c_str(), count, aError_GetErrorText(err));
        failure_ = text;
        return -1;
    }
    return static_cast<std::ptrdiff_t>(count);
}

std::ptrdiff_t Serial_SDPLoader::read(std::vector<uint8_t>& bytesOut, int timeoutMs,
                                      size_t enough) {
    if (stream_ == nullptr) {
        return -1;
    }
    // A device that never falls quiet is cut off after this much.
    constexpr size_t kMaxRead = 4096;
    const size_t limit = enough > 0 ? std::min(enough, kMaxRead) : kMaxRead;
    size_t total = 0;
    uint32_t wait = timeoutMs > 0 ? static_cast<uint32_t>(timeoutMs) : 0;
    while (total < limit) {
        if (aStream_Wait(stream_, wait) != aErrNone) {
            break;
        }
        const size_t got = takeAvailable(bytesOut, limit - total);
        if (got == 0) {
            break;
        }
        total += got;
        wait = interByteGapMs;
    }
    return static_cast<std::ptrdiff_t>(total);
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
