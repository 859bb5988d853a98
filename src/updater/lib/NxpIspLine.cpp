// The NXP ISP line layer: the serial port, the chip's echo and reply lines read within budgets
// that follow the line's rate.
#include "NxpIspLine.h"

#include "Debug.h"
#include "FormattedText.h"
#include "SerialPortText.h"

#include <corvane/aTime.h>

#include <algorithm>
#include <cstdio>

namespace {

bool printable(uint8_t byte) {
    return byte > 0x20 && byte < 0x7F;
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    char item[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(item, sizeof item, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += item;
    }
    return text;
}

} // namespace

std::string nxpVisibleText(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : ' ';
    }
    return text;
}

size_t nxpSkipNoise(const char* line, size_t length) {
    size_t i = 0;
    while (i < length && !printable(static_cast<uint8_t>(line[i]))) {
        ++i;
    }
    return i;
}

bool nxpReplyCode(const char* line, size_t length, int& code) {
    size_t i = nxpSkipNoise(line, length);
    if (length < i + 3 || line[length - 2] != '\r' || line[length - 1] != '\n') {
        return false;
    }
    const size_t end = length - 2;
    if (end - i > 9) {
        return false;
    }
    int value = 0;
    for (; i < end; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return false;
        }
        value = value * 10 + (line[i] - '0');
    }
    code = value;
    return true;
}

uint32_t NxpIspLine::rateIndexFor(uint32_t baudRate) {
    for (uint32_t i = 0; i < aSTREAM_SERIAL_BAUD_COUNT; ++i) {
        if (aStream_SerialBaudRate(i) >= baudRate) {
            return i;
        }
    }
    return 2; // above the fastest rate: 9600, the boot loader's safe default
}

aErr NxpIspLine::open(const std::string& portName, uint32_t baudRate) {
    close();
    const uint32_t index = rateIndexFor(baudRate);
    baudRate_ = aStream_SerialBaudRate(index);
    portName_ = portName.substr(0, 2047);
    bytesSent_ = bytesReceived_ = 0;
    failure_.clear();
    Debug_Print(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%u(%u)\n",
                portName_.c_str(), index, baudRate_);
    aErr err = aStream_CreateSerial(portName_.c_str(), index, 0, 0, 0, &stream_);
    if (err != aErrNone) {
        Debug_Print(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", portName_.c_str(),
                    aError_GetErrorText(err));
        failure_ = serialOpenFailure(portName_);
        if (failure_.empty()) {
            failure_ = "serial port " + portName_ + " cannot be opened";
        }
        return err;
    }
    echo_ = true;
    return aErrNone;
}

void NxpIspLine::attach(aStream* stream, const std::string& portName, uint32_t baudRate) {
    close();
    stream_ = stream;
    portName_ = portName;
    baudRate_ = baudRate;
    echo_ = true;
    bytesSent_ = bytesReceived_ = 0;
    failure_.clear();
}

void NxpIspLine::close() {
    if (stream_ != nullptr) {
        aStream_Destroy(&stream_);
    }
}

aErr NxpIspLine::reopen(uint32_t rateIndex) {
    close();
    const aErr err = aStream_CreateSerial(portName_.c_str(), rateIndex, 0, 0, 0, &stream_);
    if (err != aErrNone) {
        stream_ = nullptr;
        return err;
    }
    baudRate_ = aStream_SerialBaudRate(rateIndex);
    return aErrNone;
}

aErr NxpIspLine::fail(aErr err, const std::string& what) {
    failure_ = "Serial port " + portName_ + ": " + what;
    return err;
}

uint32_t NxpIspLine::wireMs(size_t bytes) const {
    const uint32_t rate = baudRate_ == 0 ? 9600 : baudRate_;
    return static_cast<uint32_t>(bytes * 10 * 1000 / rate + 1);
}

aErr NxpIspLine::readByte(uint8_t& byte, uint64_t deadline) {
    constexpr uint64_t kTickMs = 100;
    for (;;) {
        aErr err = aStream_Read(stream_, &byte, 1);
        if (err == aErrNone) {
            ++bytesReceived_;
            return aErrNone;
        }
        if (err != aErrNotReady) {
            return err;
        }
        const uint64_t now = aTime_GetMSTicks();
        if (now >= deadline) {
            return aErrNotReady;
        }
        if (waiting_ && now >= lastTick_ + kTickMs) {
            lastTick_ = now;
            waiting_();
        }
        // Serial streams wake on the byte; streams that cannot wait are polled every 1 ms.
        const uint64_t wait = std::min(deadline - now, waiting_ ? kTickMs : deadline - now);
        if (aStream_Wait(stream_, static_cast<uint32_t>(wait)) == aErrUnimplemented) {
            aTime_MSSleep(1);
        }
    }
}

aErr NxpIspLine::writeBytes(const uint8_t* bytes, size_t count) {
    aErr err = aStream_Write(stream_, bytes, count);
    if (err != aErrNone) {
        return fail(err, formatted("the port did not take the %zu bytes written to it (%s)", count,
                                   aError_GetErrorText(err)));
    }
    bytesSent_ += count;
    return aErrNone;
}

void NxpIspLine::discardInput() {
    uint8_t byte;
    while (aStream_Read(stream_, &byte, 1) == aErrNone) {
        ++bytesReceived_;
        Debug_Print(DEBUG_NXPSerial_E, "Dropping stale byte %02X\n", byte);
    }
}

aErr NxpIspLine::SendCommand(const std::string& text, uint32_t waitMs) {
    if (stream_ == nullptr) {
        return aErrParam;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    Debug_Print(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexBytes(bytes, text.size()).c_str(),
                nxpVisibleText(bytes, text.size()).c_str());
    discardInput();
    aErr err = writeBytes(bytes, text.size());
    if (err != aErrNone) {
        Debug_Print(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        Debug_Print(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (waitMs > 0) {
        Debug_Print(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%u ms]\n",
                    waitMs);
        aTime_MSSleep(waitMs);
    }
    if (echo_ && text.size() > 1) {
        size_t matched = 0;
        GetEcho(text.data(), text.size() - 1, matched);
        if (matched + 1 != text.size()) {
            Debug_Print(DEBUG_NXPSerial, "Error SendCommand() bad echo [%zu!=%zu]\n", matched,
                        text.size());
        }
    }
    return aErrNone;
}

aErr NxpIspLine::GetEcho(const char* text, size_t count, size_t& matched) {
    matched = 0;
    Debug_Print(DEBUG_NXPSerial_E, "GetEcho([%s] %zu, ...)\n",
                hexBytes(reinterpret_cast<const uint8_t*>(text), count).c_str(), count);
    aErr err = aErrNone;
    // The echo trails the line by the time the line needs to carry it; after that, a quiet
    // spell of echoMs_ means it is not coming.
    uint64_t deadline = aTime_GetMSTicks() + echoMs_ + 2 * wireMs(count);
    while (matched < count) {
        uint8_t byte = 0;
        err = readByte(byte, deadline);
        if (err != aErrNone) {
            break;
        }
        if (byte == static_cast<uint8_t>(text[matched])) {
            ++matched;
        } else {
            Debug_Print(DEBUG_NXPSerial_E, " %02X!=%02X", byte,
                        static_cast<uint8_t>(text[matched]));
        }
        deadline = aTime_GetMSTicks() + echoMs_;
    }
    Debug_Print(DEBUG_NXPSerial_E, "recv Echo: %zu of %zu\n", matched, count);
    return err;
}

aErr NxpIspLine::GetLine(char* buffer, size_t size, size_t& length, uint32_t budgetMs) {
    length = 0;
    if (stream_ == nullptr || buffer == nullptr || size < 2) {
        return aErrParam;
    }
    const uint64_t deadline = aTime_GetMSTicks() + budgetMs;
    int terminator = 0;
    aErr err = aErrNone;
    while (terminator < 2 && length < size - 1) {
        uint8_t byte = 0;
        err = readByte(byte, deadline);
        if (err != aErrNone) {
            break;
        }
        if (length == 0 && !printable(byte)) {
            // The tail of an echoed line, or noise on the line: never the start of a reply.
            Debug_Print(DEBUG_NXPSerial_E, ",");
            continue;
        }
        buffer[length++] = static_cast<char>(byte);
        terminator =
            byte == (terminator == 0 ? '\r' : '\n') ? terminator + 1 : (byte == '\r' ? 1 : 0);
    }
    buffer[length] = '\0';
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
    Debug_Print(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %zu %s [%s]\n",
                hexBytes(bytes, length).c_str(), nxpVisibleText(bytes, length).c_str(), length,
                terminator == 2 ? "term" : "non-term", aError_GetErrorText(err));
    if (terminator == 2) {
        return aErrNone;
    }
    if (err == aErrNotReady) {
        return fail(aErrTimeout,
                    formatted("no complete reply from the chip within %u ms", budgetMs));
    }
    return err == aErrNone ? aErrIO : fail(err, "reading the reply failed");
}

aErr NxpIspLine::Response(char* buffer, size_t size, size_t& length, const char* expected,
                          size_t expectedLength) {
    length = 0;
    if (stream_ == nullptr || buffer == nullptr || size < 2) {
        return aErrParam;
    }
    const size_t limit = expected != nullptr ? std::min(expectedLength, size - 1) : size - 1;
    // The reply needs its own wire time plus the chip's turnaround; USB serial adapters hold
    // bytes back for up to 16 ms and a busy host adds its own delay, so allow echoMs_ more.
    // The wait ends as soon as the reply is complete.
    const uint32_t waitMs =
        static_cast<uint32_t>((expectedLength + 2) * 9000 / (baudRate_ ? baudRate_ : 9600) + 21) +
        echoMs_;
    Debug_Print(DEBUG_NXPSerial_E, "Response() wait for serial [%zu bytes, %u, %u ms]\n",
                expectedLength, baudRate_, waitMs);
    const uint64_t deadline = aTime_GetMSTicks() + waitMs;
    aErr err = aErrNone;
    int terminator = 0;
    while (length < limit && terminator < 2) {
        uint8_t byte = 0;
        err = readByte(byte, deadline);
        if (err != aErrNone) {
            Debug_Print(DEBUG_NXPSerial_E, ".");
            break;
        }
        if (length == 0 && (byte == '\n' || byte == '\r' || byte == 0)) {
            Debug_Print(DEBUG_NXPSerial_E, "Response ignoring leading %s\n",
                        byte == '\n'   ? "\\n"
                        : byte == '\r' ? "\\r"
                                       : "0 byte");
            continue;
        }
        if ((length == 1 || length == 2) && byte == 0) {
            Debug_Print(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            continue;
        }
        if (length == 0 && byte == '?' && expected != nullptr && expected[0] != '?') {
            buffer[length++] = '?';
            break;
        }
        if (expected != nullptr && byte != static_cast<uint8_t>(expected[length])) {
            Debug_Print(DEBUG_NXPSerial_E,
                        "Error Test_Serial_Response() Expected byte %zu does not match [[%02X] "
                        "%c != %c [%02X]]\n",
                        length, byte, printable(byte) ? byte : ' ', expected[length],
                        static_cast<uint8_t>(expected[length]));
        }
        buffer[length++] = static_cast<char>(byte);
        terminator =
            byte == (terminator == 0 ? '\r' : '\n') ? terminator + 1 : (byte == '\r' ? 1 : 0);
    }
    buffer[length] = '\0';
    Debug_Print(DEBUG_NXPSerial_SR, "Response: [%s]\n",
                hexBytes(reinterpret_cast<const uint8_t*>(buffer), length).c_str());
    return err == aErrNotReady ? aErrTimeout : err;
}
