// The NXP UART ISP client: command texts, reply lines with time budgets, UU-encoded RAM writes.
#include "NxpIspClient.h"
#include "FormattedText.h"

#include "Debug.h"
#include "SerialPortText.h"

#include <corvane/aTime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr const char* kReturnCodeTexts[] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
};

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

std::string visibleText(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : ' ';
    }
    return text;
}

// Leading bytes that no reply starts with: line ends of an earlier echo, NUL, line noise.
size_t skipNoise(const char* line, size_t length) {
    size_t i = 0;
    while (i < length && !printable(static_cast<uint8_t>(line[i]))) {
        ++i;
    }
    return i;
}

} // namespace

bool nxpReplyCode(const char* line, size_t length, int& code) {
    size_t i = skipNoise(line, length);
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

NxpIspClient::~NxpIspClient() {
    close();
}

uint32_t NxpIspClient::rateIndexFor(uint32_t baudRate) {
    for (uint32_t i = 0; i < aSTREAM_SERIAL_BAUD_COUNT; ++i) {
        if (aStream_SerialBaudRate(i) >= baudRate) {
            return i;
        }
    }
    return 2; // above the fastest rate: 9600, the boot loader's safe default
}

aErr NxpIspClient::open(const std::string& portName, uint32_t baudRate) {
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

void NxpIspClient::attach(aStream* stream, const std::string& portName, uint32_t baudRate) {
    close();
    stream_ = stream;
    portName_ = portName;
    baudRate_ = baudRate;
    echo_ = true;
    bytesSent_ = bytesReceived_ = 0;
    failure_.clear();
}

void NxpIspClient::close() {
    if (stream_ != nullptr) {
        aStream_Destroy(&stream_);
    }
}

aErr NxpIspClient::fail(aErr err, const std::string& what) {
    failure_ = "Serial port " + portName_ + ": " + what;
    return err;
}

uint32_t NxpIspClient::wireMs(size_t bytes) const {
    const uint32_t rate = baudRate_ == 0 ? 9600 : baudRate_;
    return static_cast<uint32_t>(bytes * 10 * 1000 / rate + 1);
}

aErr NxpIspClient::readByte(uint8_t& byte, uint64_t deadline) {
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
        if (waiting && now >= lastTick_ + kTickMs) {
            lastTick_ = now;
            waiting();
        }
        // Serial streams wake on the byte; streams that cannot wait are polled every 1 ms.
        const uint64_t wait = std::min(deadline - now, waiting ? kTickMs : deadline - now);
        if (aStream_Wait(stream_, static_cast<uint32_t>(wait)) == aErrUnimplemented) {
            aTime_MSSleep(1);
        }
    }
}

aErr NxpIspClient::writeBytes(const uint8_t* bytes, size_t count) {
    aErr err = aStream_Write(stream_, bytes, count);
    if (err != aErrNone) {
        return fail(err, formatted("the port did not take the %zu bytes written to it (%s)", count,
                                aError_GetErrorText(err)));
    }
    bytesSent_ += count;
    return aErrNone;
}

void NxpIspClient::discardInput() {
    uint8_t byte;
    while (aStream_Read(stream_, &byte, 1) == aErrNone) {
        ++bytesReceived_;
        Debug_Print(DEBUG_NXPSerial_E, "Dropping stale byte %02X\n", byte);
    }
}

aErr NxpIspClient::SendCommand(const std::string& text, uint32_t waitMs) {
    if (stream_ == nullptr) {
        return aErrParam;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    Debug_Print(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexBytes(bytes, text.size()).c_str(),
                visibleText(bytes, text.size()).c_str());
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

aErr NxpIspClient::GetEcho(const char* text, size_t count, size_t& matched) {
    matched = 0;
    Debug_Print(DEBUG_NXPSerial_E, "GetEcho([%s] %zu, ...)\n",
                hexBytes(reinterpret_cast<const uint8_t*>(text), count).c_str(), count);
    aErr err = aErrNone;
    // The echo trails the line by the time the line needs to carry it; after that, a quiet
    // spell of budgets.echo ms means it is not coming.
    uint64_t deadline = aTime_GetMSTicks() + budgets.echo + 2 * wireMs(count);
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
        deadline = aTime_GetMSTicks() + budgets.echo;
    }
    Debug_Print(DEBUG_NXPSerial_E, "recv Echo: %zu of %zu\n", matched, count);
    return err;
}

aErr NxpIspClient::GetLine(char* buffer, size_t size, size_t& length, uint32_t budgetMs) {
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
                hexBytes(bytes, length).c_str(), visibleText(bytes, length).c_str(), length,
                terminator == 2 ? "term" : "non-term", aError_GetErrorText(err));
    if (terminator == 2) {
        return aErrNone;
    }
    if (err == aErrNotReady) {
        return fail(aErrTimeout, formatted("no complete reply from the chip within %u ms", budgetMs));
    }
    return err == aErrNone ? aErrIO : fail(err, "reading the reply failed");
}

aErr NxpIspClient::Response(char* buffer, size_t size, size_t& length, const char* expected,
                            size_t expectedLength) {
    length = 0;
    if (stream_ == nullptr || buffer == nullptr || size < 2) {
        return aErrParam;
    }
    const size_t limit = expected != nullptr ? std::min(expectedLength, size - 1) : size - 1;
    // The reply needs its own wire time plus the chip's turnaround; USB serial adapters hold
    // bytes back for up to 16 ms and a busy host adds its own delay, so allow budgets.echo more.
    // The wait ends as soon as the reply is complete.
    const uint32_t waitMs =
        static_cast<uint32_t>((expectedLength + 2) * 9000 / (baudRate_ ? baudRate_ : 9600) + 21) +
        budgets.echo;
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

aErr NxpIspClient::synchronize() {
    if (stream_ == nullptr) {
        return aErrParam;
    }
    discardInput();
    const uint8_t question = '?';
    aErr err = writeBytes(&question, 1);
    if (err != aErrNone) {
        return err;
    }
    char buffer[64];
    size_t length = 0;
    static constexpr char kSynchronized[] = "Synchronized\r\n";
    err = Response(buffer, sizeof buffer, length, kSynchronized, sizeof kSynchronized - 1);
    const bool echoed = length == 1 && buffer[0] == '?';
    if (err != aErrNone || echoed) {
        Debug_Print(DEBUG_NXPSerial,
                    "Did not receive correct response to opening sync command: [%s]. Response: "
                    "[%s]\n",
                    aError_GetErrorText(err), buffer);
        Probe found = alreadySynchronized(echoed);
        if (found == Probe::Silent && insideRamWrite()) {
            found = Probe::InsideWrite;
        }
        switch (found) {
        case Probe::Commands:
            // A session that failed or was killed while the echo was off left it so: turn it
            // back on, the state every session starts from.
            if (echo_ || setEcho(true) == aErrNone) {
                return aErrNone;
            }
            break;
        case Probe::InsideWrite:
            return fail(aErrMode,
                        "the NXP chip there is still inside a RAM write that an interrupted run "
                        "left; reset it into its boot ROM (hold its ISP pin low while pulsing "
                        "RESET or powering it up), then run the command again");
        case Probe::Silent: break;
        }
        return fail(err != aErrNone ? err : aErrIO, "no boot loader answered the synchronisation");
    }
    if (strcmp(buffer, kSynchronized) != 0) {
        Debug_Print(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", buffer);
    }
    // The dialogue's lines are sent whole; the echo is read here, not by SendCommand.
    auto exchange = [&](const std::string& line) -> aErr {
        aErr e = writeBytes(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        if (e != aErrNone) {
            return e;
        }
        size_t matched = 0;
        GetEcho(line.data(), line.size() - 1, matched);
        e = Response(buffer, sizeof buffer, length, "OK\r\n", 4);
        if (e == aErrNone && strncmp(buffer, "OK", 2) != 0) {
            Debug_Print(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer,
                        "OK");
        }
        return e;
    };
    err = exchange(kSynchronized);
    if (err == aErrNone) {
        err = exchange(std::to_string(kCrystalKHz) + "\r\n");
    }
    echo_ = true;
    return err == aErrNone ? aErrNone : fail(err, "the synchronisation dialogue broke off");
}

namespace {

// The chip's verdict on a block of data lines.
bool isWriteVerdict(const char* line, size_t length) {
    const char* text = line + skipNoise(line, length);
    return strcmp(text, "RESEND\r\n") == 0 || strcmp(text, "OK\r\n") == 0;
}

} // namespace

NxpIspClient::Probe NxpIspClient::alreadySynchronized(bool echoed) {
    // A boot loader synchronised by an earlier session stays in command mode and takes "?" as
    // the start of a command line: end that line and see whether a return code comes back. Some
    // ISPs end a line at CR, others only at LF and ignore the CR, so CR LF serves both.
    discardInput();
    static constexpr uint8_t kLineEnd[] = {'\r', '\n'};
    if (writeBytes(kLineEnd, sizeof kLineEnd) != aErrNone) {
        return Probe::Silent;
    }
    char line[32];
    size_t length = 0;
    int code = 0;
    for (int lines = 0; lines < 2; ++lines) { // a late echo of "?" may come first
        if (GetLine(line, sizeof line, length, budgets.echo) != aErrNone) {
            return Probe::Silent;
        }
        if (isWriteVerdict(line, length)) {
            return Probe::InsideWrite;
        }
        if (nxpReplyCode(line, length, code)) {
            Debug_Print(DEBUG_NXPSerial, "Boot loader already synchronised, echo %s\n",
                        echoed ? "on" : "off");
            failure_.clear();
            echo_ = echoed;
            return Probe::Commands;
        }
        echoed = echoed || line[0] == '?';
    }
    return Probe::Silent;
}

bool NxpIspClient::insideRamWrite() {
    // Such a chip takes every line as data and answers only the one where it expects the
    // block's checksum: "RESEND", or "OK" should the sum match. The line "?" began was one; a
    // block's worth more reach that point from anywhere in a block. They go out at once and
    // their answer is awaited once, since a port where nothing answers pays for every wait.
    std::string lines;
    for (size_t i = 0; i < kProbeLines; ++i) {
        lines += kProbeLine;
    }
    // Input is kept: an answer to the line "?" began that came too late is the one looked for.
    if (writeBytes(reinterpret_cast<const uint8_t*>(lines.data()), lines.size()) != aErrNone) {
        return false;
    }
    // With the echo on, the lines come back before the answer.
    const uint64_t deadline =
        aTime_GetMSTicks() + budgets.echo + 2 * wireMs(2 * lines.size() + sizeof "RESEND\r\n");
    char line[32];
    size_t length = 0;
    for (uint64_t now = aTime_GetMSTicks(); now < deadline; now = aTime_GetMSTicks()) {
        const aErr err = GetLine(line, sizeof line, length, static_cast<uint32_t>(deadline - now));
        if (err != aErrNone && err != aErrIO) { // aErrIO: a line too long to be the answer
            return false;
        }
        if (err == aErrNone && isWriteVerdict(line, length)) {
            Debug_Print(DEBUG_NXPSerial, "The chip is inside a RAM write\n");
            return true;
        }
    }
    return false;
}

aErr NxpIspClient::command(const std::string& text, uint32_t budgetMs, bool logCode) {
    failure_.clear();
    lastCode_ = 0;
    aErr err = SendCommand(text);
    if (err != aErrNone) {
        Debug_Print(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n",
                    visibleText(reinterpret_cast<const uint8_t*>(text.data()), text.size()).c_str(),
                    aError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t length = 0;
    err = GetLine(line, sizeof line, length, budgetMs + 2 * wireMs(text.size()));
    if (err != aErrNone) {
        return err;
    }
    int code = 0;
    if (!nxpReplyCode(line, length, code)) {
        return fail(aErrIO, "the chip's reply holds no return code");
    }
    if (code != 0) {
        if (logCode) {
            Debug_Print(DEBUG_NXPSerial, "Error response ==>[%s]\n", returnCodeText(line));
        }
        lastCode_ = code;
        std::string what = text.substr(0, text.size() - 2) + " refused: " + returnCodeText(line);
        return fail(aErrParam, what);
    }
    return aErrNone;
}

aErr NxpIspClient::setEcho(bool on) {
    Debug_Print(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    aErr err = command(formatted("A %d\r\n", on ? 1 : 0), budgets.command, false);
    if (err == aErrNone) {
        echo_ = on;
    }
    return err;
}

aErr NxpIspClient::unlock() {
    return command(formatted("U %u\r\n", kUnlockCode), budgets.command, false);
}

aErr NxpIspClient::prepareSectors(uint32_t first, uint32_t last) {
    if (last < first) {
        return aErrParam;
    }
    return command(formatted("P %u %u\r\n", first, last), budgets.command, true);
}

aErr NxpIspClient::eraseSectors(uint32_t first, uint32_t last) {
    if (last < first) {
        return aErrParam;
    }
    const uint32_t budget = budgets.command + budgets.erasePerSector * (last - first + 1);
    return command(formatted("E %u %u\r\n", first, last), budget, true);
}

aErr NxpIspClient::copyRamToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
    if ((flashAddress & 0xFF) != 0 ||
        (count != 256 && count != 512 && count != 1024 && count != 4096)) {
        return aErrParam;
    }
    const uint32_t budget = budgets.command + budgets.copyPer256 * (count / 256);
    return command(formatted("C %u %u %u\r\n", flashAddress, ramAddress, count), budget, true);
}

aErr NxpIspClient::go(uint32_t address) {
    failure_.clear();
    return SendCommand(formatted("G %u T\r\n", address));
}

aErr NxpIspClient::readUid() {
    failure_.clear();
    aErr err = SendCommand("N\r\n");
    if (err != aErrNone) {
        return err;
    }
    char line[33];
    size_t length = 0;
    err = GetLine(line, sizeof line, length, budgets.command);
    int code = -1;
    if (err != aErrNone || !nxpReplyCode(line, length, code) || code != 0) {
        // Without a clean "0" the words that follow cannot be trusted to be the identifier.
        return err != aErrNone ? err : fail(aErrIO, "the identification was refused");
    }
    for (uint32_t& word : uid_) {
        err = GetLine(line, sizeof line, length, budgets.command);
        if (err != aErrNone) {
            return err;
        }
        const size_t start = skipNoise(line, length);
        char* end = nullptr;
        word = static_cast<uint32_t>(strtoul(line + start, &end, 0));
        if (end == line + start || *end != '\r') {
            return fail(aErrIO, "an identification word is not a number");
        }
    }
    return aErrNone;
}

aErr NxpIspClient::Read(uint32_t address, uint32_t count, uint8_t* out) {
    if (count == 0 || count % 4 != 0 || count > kBytesPerLine * kLinesPerBlock || out == nullptr) {
        return aErrParam;
    }
    const std::string text = formatted("R %u %u\r\n", address, count);
    aErr err = command(text, budgets.command, true);
    if (err != aErrNone) {
        return err;
    }
    // The lines of one block, then its sum; the chip sends the block again after "RESEND".
    const uint32_t budget = budgets.command + 2 * wireMs(count * 2 + 64);
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string bytes;
        char line[96];
        size_t length = 0;
        while (bytes.size() < count) {
            err = GetLine(line, sizeof line, length, budget);
            if (err != aErrNone) {
                return err;
            }
            const size_t start = skipNoise(line, length);
            std::string decoded;
            if (!uuDecodeLine(line + start, length - start - 2, decoded) ||
                bytes.size() + decoded.size() > count) {
                return fail(aErrIO, "the chip sent a malformed line of memory data");
            }
            bytes += decoded;
        }
        err = GetLine(line, sizeof line, length, budget);
        if (err != aErrNone) {
            return err;
        }
        uint32_t sum = 0;
        for (char c : bytes) {
            sum += static_cast<uint8_t>(c);
        }
        const size_t start = skipNoise(line, length);
        char* end = nullptr;
        const unsigned long sent = strtoul(line + start, &end, 10);
        if (end != line + start && *end == '\r' && sent == sum) {
            std::copy(bytes.begin(), bytes.end(), out);
            return SendCommand("OK\r\n");
        }
        Debug_Print(DEBUG_NXPSerial, "Read() checksum mismatch [%s] != %u\n", line, sum);
        if (attempt < 2 && (err = SendCommand("RESEND\r\n")) != aErrNone) {
            return err;
        }
    }
    // A chip left waiting for the verdict takes the next command line as one.
    SendCommand("OK\r\n");
    return fail(aErrIO, "memory read back from the chip failed its checksum three times");
}

aErr NxpIspClient::compare(uint32_t first, uint32_t second, uint32_t count) {
    if (count == 0 || count % 4 != 0 || first % 4 != 0 || second % 4 != 0) {
        return aErrParam;
    }
    const std::string text = formatted("M %u %u %u\r\n", first, second, count);
    const aErr err = command(text, budgets.command + wireMs(count), true);
    if (err != aErrParam || lastCode_ != kCompareError) {
        return err;
    }
    // The reply names the first word that differs.
    char line[32];
    size_t length = 0;
    if (GetLine(line, sizeof line, length, budgets.command) != aErrNone) {
        return fail(aErrParam, formatted("the %u bytes at 0x%08X differ from those at 0x%08X", count,
                                      first, second));
    }
    const size_t start = skipNoise(line, length);
    return fail(aErrParam,
                formatted("the %u bytes at 0x%08X differ from those at 0x%08X from byte %lu", count,
                       first, second, strtoul(line + start, nullptr, 10)));
}

aErr NxpIspClient::changeBaudRate(uint32_t baudRate) {
    const uint32_t index = rateIndexFor(baudRate);
    const uint32_t rate = aStream_SerialBaudRate(index);
    if (stream_ == nullptr) {
        return aErrParam;
    }
    if (rate == baudRate_) {
        return aErrNone;
    }
    aErr err = command(formatted("B %u 1\r\n", rate), budgets.command, true);
    if (err != aErrNone) {
        return err;
    }
    // The chip answered at the old rate and listens at the new one from now on.
    Debug_Print(DEBUG_NXPSerial, "Changing the port to %u baud\n", rate);
    aStream_Destroy(&stream_);
    err = aStream_CreateSerial(portName_.c_str(), index, 0, 0, 0, &stream_);
    if (err != aErrNone) {
        stream_ = nullptr;
        return fail(err, formatted("the port could not follow the chip to %u baud (%s)", rate,
                                aError_GetErrorText(err)));
    }
    baudRate_ = rate;
    return aErrNone;
}

aErr NxpIspClient::Write(uint32_t ramAddress, uint32_t count, const uint8_t* data) {
    if (count == 0 || count % 4 != 0 || data == nullptr) {
        return aErrParam;
    }
    aErr err = command(formatted("W %u %u\r\n", ramAddress, count), budgets.command, false);
    if (err != aErrNone) {
        Debug_Print(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n",
                    aError_GetErrorText(err));
        return err == aErrParam || err == aErrIO ? aErrParam : err;
    }
    int retries = 3;
    size_t acknowledged = 0;
    size_t position = 0;
    size_t lines = 0;
    std::string block;
    while (position < count) {
        const size_t take = std::min(kBytesPerLine, count - position);
        block += uuEncodeLine(data + position, take);
        block += "\r\n";
        position += take;
        ++lines;
        if (lines < kLinesPerBlock && position < count) {
            continue;
        }
        uint32_t sum = 0;
        for (size_t i = acknowledged; i < position; ++i) {
            sum += data[i];
        }
        Debug_Print(DEBUG_NXPSerial_E, "Write() Checksum: %08X (%u)\n", sum, sum);
        // The block's lines go out in one write; with echo on they come back and are read.
        err = writeBytes(reinterpret_cast<const uint8_t*>(block.data()), block.size());
        if (err != aErrNone) {
            return err;
        }
        if (echo_) {
            size_t matched = 0;
            GetEcho(block.data(), block.size(), matched);
        }
        const std::string sumLine = std::to_string(sum) + "\r\n";
        err = SendCommand(sumLine);
        if (err != aErrNone) {
            return err;
        }
        char reply[32];
        size_t length = 0;
        const uint64_t started = aTime_GetMSTicks();
        err = GetLine(reply, sizeof reply, length,
                      budgets.checksum + 2 * wireMs(block.size() + sumLine.size()));
        Debug_Print(DEBUG_NXPSerial_E, "Write() waited for checksum %u ms\n",
                    static_cast<uint32_t>(aTime_GetMSTicks() - started + 1));
        if (err != aErrNone) {
            return err;
        }
        lines = 0;
        block.clear();
        const char* text = reply + skipNoise(reply, length);
        if (strcmp(text, "OK\r\n") == 0) {
            acknowledged = position;
            Debug_Print(DEBUG_NXPSerial_E, "Write() valid transfer of %zu of %u (%.0f%%) bytes\n",
                        position, count, 100.0 * static_cast<double>(position) / count);
        } else if (strcmp(text, "RESEND\r\n") == 0) {
            if (retries-- < 2) {
                Debug_Print(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return fail(aErrTimeout, "the chip asked for a block of data three times");
            }
            position = acknowledged;
        } else {
            Debug_Print(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", text);
            return fail(aErrIO, "unexpected reply to a data checksum");
        }
    }
    return aErrNone;
}

bool NxpIspClient::uuDecodeLine(const char* line, size_t length, std::string& bytes) {
    // Space and grave accent both stand for 0.
    auto value = [](char c) { return static_cast<uint32_t>((c - 32) & 0x3F); };
    bytes.clear();
    if (length == 0) {
        return false;
    }
    const size_t count = value(line[0]);
    if (count > kBytesPerLine || length < 1 + (count + 2) / 3 * 4) {
        return false;
    }
    for (size_t i = 1; bytes.size() < count; i += 4) {
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j) {
            group = group << 6 | value(line[i + j]);
        }
        for (int shift = 16; shift >= 0 && bytes.size() < count; shift -= 8) {
            bytes += static_cast<char>(group >> shift);
        }
    }
    return true;
}

uint32_t NxpIspClient::copySizeFor(uint32_t length) {
    for (uint32_t size : {256u, 512u, 1024u, 4096u}) {
        if (length <= size) {
            return size;
        }
    }
    Debug_Print(DEBUG_NXPSerial, "Copy length is too large. %u > 4096.\n", length);
    return length;
}

uint32_t NxpIspClient::sectorOfAddress(uint32_t address) {
    if (address < 0x10000) {
        return address / 0x1000;
    }
    if (address < 0x80000) {
        return 16 + (address - 0x10000) / 0x8000;
    }
    return kSectorCount;
}

const char* NxpIspClient::returnCodeText(const char* line) {
    if (line == nullptr) {
        return "Unknown error";
    }
    const size_t start = skipNoise(line, strlen(line));
    const long code = strtol(line + start, nullptr, 0);
    if (code < 0 || code >= static_cast<long>(std::size(kReturnCodeTexts))) {
        return "Unknown error";
    }
    return kReturnCodeTexts[code];
}

std::string NxpIspClient::uuEncodeLine(const uint8_t* data, size_t count) {
    // The value 0 is written as a grave accent, not a space, so no line ends in blanks.
    auto character = [](uint32_t value) { return static_cast<char>(value == 0 ? 96 : value + 32); };
    count = std::min(count, kBytesPerLine);
    std::string line(1, character(static_cast<uint32_t>(count)));
    for (size_t i = 0; i < count; i += 3) {
        uint32_t group = 0;
        for (size_t j = 0; j < 3; ++j) {
            group = group << 8 | (i + j < count ? data[i + j] : 0);
        }
        for (int shift = 18; shift >= 0; shift -= 6) {
            line += character(group >> shift & 0x3F);
        }
    }
    return line;
}
