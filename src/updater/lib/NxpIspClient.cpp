// The NXP ISP commands over the line layer (NxpIspLine): the synchronisation dialogue, the
// command texts and their return codes, UU-encoded RAM writes and reads.
#include "NxpIspClient.h"

#include "Debug.h"
#include "FormattedText.h"

#include <corvane/aTime.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// The chip's verdict on a block of data lines.
bool isWriteVerdict(const char* line, size_t length) {
    const char* text = line + nxpSkipNoise(line, length);
    return strcmp(text, "RESEND\r\n") == 0 || strcmp(text, "OK\r\n") == 0;
}

} // namespace

NxpIspClient::~NxpIspClient() = default;

aErr NxpIspClient::synchronize() {
    if (!line_.isOpen()) {
        return aErrParam;
    }
    line_.discardInput();
    const uint8_t question = '?';
    aErr err = line_.writeBytes(&question, 1);
    if (err != aErrNone) {
        return err;
    }
    char buffer[64];
    size_t length = 0;
    static constexpr char kSynchronized[] = "Synchronized\r\n";
    err = line_.Response(buffer, sizeof buffer, length, kSynchronized, sizeof kSynchronized - 1);
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
            if (line_.echo() || setEcho(true) == aErrNone) {
                return aErrNone;
            }
            break;
        case Probe::InsideWrite:
            return line_.fail(
                aErrMode, "the NXP chip there is still inside a RAM write that an interrupted run "
                          "left; reset it into its boot ROM (hold its ISP pin low while pulsing "
                          "RESET or powering it up), then run the command again");
        case Probe::Silent: break;
        }
        return line_.fail(err != aErrNone ? err : aErrIO,
                          "no boot loader answered the synchronisation");
    }
    if (strcmp(buffer, kSynchronized) != 0) {
        Debug_Print(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", buffer);
    }
    // The dialogue's lines are sent whole; the echo is read here, not by SendCommand.
    auto exchange = [&](const std::string& line) -> aErr {
        aErr e = line_.writeBytes(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        if (e != aErrNone) {
            return e;
        }
        size_t matched = 0;
        line_.GetEcho(line.data(), line.size() - 1, matched);
        e = line_.Response(buffer, sizeof buffer, length, "OK\r\n", 4);
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
    line_.assumeEcho(true);
    return err == aErrNone ? aErrNone : line_.fail(err, "the synchronisation dialogue broke off");
}

NxpIspClient::Probe NxpIspClient::alreadySynchronized(bool echoed) {
    // A boot loader synchronised by an earlier session stays in command mode and takes "?" as
    // the start of a command line: end that line and see whether a return code comes back. Some
    // ISPs end a line at CR, others only at LF and ignore the CR, so CR LF serves both.
    line_.discardInput();
    static constexpr uint8_t kLineEnd[] = {'\r', '\n'};
    if (line_.writeBytes(kLineEnd, sizeof kLineEnd) != aErrNone) {
        return Probe::Silent;
    }
    char line[32];
    size_t length = 0;
    int code = 0;
    for (int lines = 0; lines < 2; ++lines) { // a late echo of "?" may come first
        if (line_.GetLine(line, sizeof line, length, budgets.echo) != aErrNone) {
            return Probe::Silent;
        }
        if (isWriteVerdict(line, length)) {
            return Probe::InsideWrite;
        }
        if (nxpReplyCode(line, length, code)) {
            Debug_Print(DEBUG_NXPSerial, "Boot loader already synchronised, echo %s\n",
                        echoed ? "on" : "off");
            line_.clearFailure();
            line_.assumeEcho(echoed);
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
    if (line_.writeBytes(reinterpret_cast<const uint8_t*>(lines.data()), lines.size()) !=
        aErrNone) {
        return false;
    }
    // With the echo on, the lines come back before the answer.
    const uint64_t deadline = aTime_GetMSTicks() + budgets.echo +
                              2 * line_.wireMs(2 * lines.size() + sizeof "RESEND\r\n");
    char line[32];
    size_t length = 0;
    for (uint64_t now = aTime_GetMSTicks(); now < deadline; now = aTime_GetMSTicks()) {
        const aErr err =
            line_.GetLine(line, sizeof line, length, static_cast<uint32_t>(deadline - now));
        // aErrIO with a full buffer is a line too long to be the answer; with less, the port
        // failed, and asking it again until the deadline will not make it heal.
        if (err != aErrNone && (err != aErrIO || length < sizeof line - 1)) {
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
    line_.clearFailure();
    lastCode_ = 0;
    aErr err = line_.SendCommand(text);
    if (err != aErrNone) {
        Debug_Print(
            DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n",
            nxpVisibleText(reinterpret_cast<const uint8_t*>(text.data()), text.size()).c_str(),
            aError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t length = 0;
    err = line_.GetLine(line, sizeof line, length, budgetMs + 2 * line_.wireMs(text.size()));
    if (err != aErrNone) {
        return err;
    }
    int code = 0;
    if (!nxpReplyCode(line, length, code)) {
        return line_.fail(aErrIO, "the chip's reply holds no return code");
    }
    if (code != 0) {
        if (logCode) {
            Debug_Print(DEBUG_NXPSerial, "Error response ==>[%s]\n", returnCodeText(line));
        }
        lastCode_ = code;
        std::string what = text.substr(0, text.size() - 2) + " refused: " + returnCodeText(line);
        return line_.fail(aErrParam, what);
    }
    return aErrNone;
}

aErr NxpIspClient::setEcho(bool on) {
    Debug_Print(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    aErr err = command(formatted("A %d\r\n", on ? 1 : 0), budgets.command, false);
    if (err == aErrNone) {
        line_.assumeEcho(on);
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
    line_.clearFailure();
    return line_.SendCommand(formatted("G %u T\r\n", address));
}

aErr NxpIspClient::readUid() {
    line_.clearFailure();
    aErr err = line_.SendCommand("N\r\n");
    if (err != aErrNone) {
        return err;
    }
    char line[33];
    size_t length = 0;
    err = line_.GetLine(line, sizeof line, length, budgets.command);
    int code = -1;
    if (err != aErrNone || !nxpReplyCode(line, length, code) || code != 0) {
        // Without a clean "0" the words that follow cannot be trusted to be the identifier.
        return err != aErrNone ? err : line_.fail(aErrIO, "the identification was refused");
    }
    for (uint32_t& word : uid_) {
        err = line_.GetLine(line, sizeof line, length, budgets.command);
        if (err != aErrNone) {
            return err;
        }
        const size_t start = nxpSkipNoise(line, length);
        char* end = nullptr;
        word = static_cast<uint32_t>(strtoul(line + start, &end, 0));
        if (end == line + start || *end != '\r') {
            return line_.fail(aErrIO, "an identification word is not a number");
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
    const uint32_t budget = budgets.command + 2 * line_.wireMs(count * 2 + 64);
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string bytes;
        char line[96];
        size_t length = 0;
        while (bytes.size() < count) {
            err = line_.GetLine(line, sizeof line, length, budget);
            if (err != aErrNone) {
                return err;
            }
            const size_t start = nxpSkipNoise(line, length);
            std::string decoded;
            if (!uuDecodeLine(line + start, length - start - 2, decoded) ||
                bytes.size() + decoded.size() > count) {
                return line_.fail(aErrIO, "the chip sent a malformed line of memory data");
            }
            bytes += decoded;
        }
        err = line_.GetLine(line, sizeof line, length, budget);
        if (err != aErrNone) {
            return err;
        }
        uint32_t sum = 0;
        for (char c : bytes) {
            sum += static_cast<uint8_t>(c);
        }
        const size_t start = nxpSkipNoise(line, length);
        char* end = nullptr;
        const unsigned long sent = strtoul(line + start, &end, 10);
        if (end != line + start && *end == '\r' && sent == sum) {
            std::copy(bytes.begin(), bytes.end(), out);
            return line_.SendCommand("OK\r\n");
        }
        Debug_Print(DEBUG_NXPSerial, "Read() checksum mismatch [%s] != %u\n", line, sum);
        if (attempt < 2 && (err = line_.SendCommand("RESEND\r\n")) != aErrNone) {
            return err;
        }
    }
    // A chip left waiting for the verdict takes the next command line as one.
    line_.SendCommand("OK\r\n");
    return line_.fail(aErrIO, "memory read back from the chip failed its checksum three times");
}

aErr NxpIspClient::compare(uint32_t first, uint32_t second, uint32_t count) {
    if (count == 0 || count % 4 != 0 || first % 4 != 0 || second % 4 != 0) {
        return aErrParam;
    }
    const std::string text = formatted("M %u %u %u\r\n", first, second, count);
    const aErr err = command(text, budgets.command + line_.wireMs(count), true);
    if (err != aErrParam || lastCode_ != kCompareError) {
        return err;
    }
    // The reply names the first word that differs.
    char line[32];
    size_t length = 0;
    if (line_.GetLine(line, sizeof line, length, budgets.command) != aErrNone) {
        return line_.fail(aErrParam, formatted("the %u bytes at 0x%08X differ from those at 0x%08X",
                                               count, first, second));
    }
    const size_t start = nxpSkipNoise(line, length);
    return line_.fail(aErrParam,
                      formatted("the %u bytes at 0x%08X differ from those at 0x%08X from byte %lu",
                                count, first, second, strtoul(line + start, nullptr, 10)));
}

aErr NxpIspClient::changeBaudRate(uint32_t baudRate) {
    const uint32_t index = rateIndexFor(baudRate);
    const uint32_t rate = aStream_SerialBaudRate(index);
    if (!line_.isOpen()) {
        return aErrParam;
    }
    if (rate == line_.baudRate()) {
        return aErrNone;
    }
    aErr err = command(formatted("B %u 1\r\n", rate), budgets.command, true);
    if (err != aErrNone) {
        return err;
    }
    // The chip answered at the old rate and listens at the new one from now on.
    Debug_Print(DEBUG_NXPSerial, "Changing the port to %u baud\n", rate);
    err = line_.reopen(index);
    if (err != aErrNone) {
        return line_.fail(err, formatted("the port could not follow the chip to %u baud (%s)", rate,
                                         aError_GetErrorText(err)));
    }
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
        err = line_.writeBytes(reinterpret_cast<const uint8_t*>(block.data()), block.size());
        if (err != aErrNone) {
            return err;
        }
        if (line_.echo()) {
            size_t matched = 0;
            line_.GetEcho(block.data(), block.size(), matched);
        }
        const std::string sumLine = std::to_string(sum) + "\r\n";
        err = line_.SendCommand(sumLine);
        if (err != aErrNone) {
            return err;
        }
        char reply[32];
        size_t length = 0;
        const uint64_t started = aTime_GetMSTicks();
        err = line_.GetLine(reply, sizeof reply, length,
                            budgets.checksum + 2 * line_.wireMs(block.size() + sumLine.size()));
        Debug_Print(DEBUG_NXPSerial_E, "Write() waited for checksum %u ms\n",
                    static_cast<uint32_t>(aTime_GetMSTicks() - started + 1));
        if (err != aErrNone) {
            return err;
        }
        lines = 0;
        block.clear();
        const char* text = reply + nxpSkipNoise(reply, length);
        if (strcmp(text, "OK\r\n") == 0) {
            acknowledged = position;
            Debug_Print(DEBUG_NXPSerial_E, "Write() valid transfer of %zu of %u (%.0f%%) bytes\n",
                        position, count, 100.0 * static_cast<double>(position) / count);
        } else if (strcmp(text, "RESEND\r\n") == 0) {
            if (retries-- < 2) {
                Debug_Print(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return line_.fail(aErrTimeout, "the chip asked for a block of data three times");
            }
            position = acknowledged;
        } else {
            Debug_Print(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", text);
            return line_.fail(aErrIO, "unexpected reply to a data checksum");
        }
    }
    return aErrNone;
}
