// The simulated LPC ISP boot ROM. Flash programming ANDs bits as NOR flash does, so only an
// erase brings bits back to 1. Lines end as the settings' line end says; empty lines are ignored.
#include "LpcIspRom.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr uint32_t kSectors = 30;
constexpr uint32_t kRamStart = 0x10000000, kRamSize = 0x8000;
constexpr uint32_t kAhbRamStart = 0x2007C000, kAhbRamSize = 0x8000;
constexpr size_t kMaxLine = 256; // longer lines lose their tail
constexpr uint32_t kBytesPerLine = 45, kLinesPerBlock = 20;

// Return codes.
constexpr int kSuccess = 0, kInvalidCommand = 1, kSrcAddrError = 2, kDstAddrError = 3,
              kSrcAddrNotMapped = 4, kDstAddrNotMapped = 5, kCountError = 6, kInvalidSector = 7,
              kSectorNotBlank = 8, kNotPrepared = 9, kCompareError = 10, kParamError = 12,
              kAddrError = 13, kAddrNotMapped = 14, kCmdLocked = 15, kInvalidCode = 16,
              kInvalidBaudRate = 17, kInvalidStopBit = 18;

uint32_t sectorStart(uint32_t sector) {
    return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
}

// The end of the last sector of a range: the next sector's start, or the end of the flash.
uint32_t sectorEnd(uint32_t last) {
    return last + 1 < kSectors ? sectorStart(last + 1) : LpcIspRom::kFlashSize;
}

bool sectorsValid(uint32_t first, uint32_t last) {
    return first <= last && last < kSectors;
}

uint32_t sectorOf(uint32_t address) {
    return address < 0x10000 ? address / 0x1000 : 16 + (address - 0x10000) / 0x8000;
}

// What an earlier life left in a memory: the same every run, neither erased nor zero.
std::vector<uint8_t> leftovers(size_t size, uint64_t seed) {
    std::vector<uint8_t> bytes(size);
    uint64_t state = seed;
    for (size_t i = 0; i < size; i += 8) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (size_t j = 0; j < 8 && i + j < size; ++j) {
            bytes[i + j] = static_cast<uint8_t>(z >> (8 * j));
        }
    }
    return bytes;
}

// Decodes one UU line; false when it is malformed.
bool uuDecode(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.empty()) {
        return false;
    }
    auto value = [](char c) { return static_cast<uint32_t>((c - 32) & 0x3F); };
    const size_t count = value(text[0]);
    if (text.size() < 1 + (count + 2) / 3 * 4) {
        return false;
    }
    for (size_t i = 0; out.size() < count; i += 4) {
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j) {
            group = group << 6 | value(text[1 + i + j]);
        }
        for (int shift = 16; shift >= 0 && out.size() < count; shift -= 8) {
            out.push_back(static_cast<uint8_t>(group >> shift));
        }
    }
    return true;
}

std::string uuEncode(const uint8_t* data, size_t count) {
    auto character = [](uint32_t value) { return static_cast<char>(value == 0 ? 96 : value + 32); };
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

std::vector<std::string> tokens(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string token; in >> token;) {
        out.push_back(token);
    }
    return out;
}

// A parameter the ROM takes: plain decimal digits that fit 32 bits.
bool decimal(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

} // namespace

LpcIspRom::LpcIspRom(const LpcIspSettings& settings)
    : settings_(settings), flash_(leftovers(kFlashSize, 1)), ram_(leftovers(kRamSize, 2)),
      ahbRam_(leftovers(kAhbRamSize, 3)) {
    if (settings_.alreadySynced) {
        state_ = State::Command;
        echo_ = settings_.echo;
    }
}

uint8_t* LpcIspRom::memory(uint64_t address, uint64_t count, bool ramOnly) {
    struct Area {
        uint32_t start;
        std::vector<uint8_t>& bytes;
        bool ram;
    } areas[] = {{0, flash_, false}, {kRamStart, ram_, true}, {kAhbRamStart, ahbRam_, true}};
    for (Area& area : areas) {
        if ((area.ram || !ramOnly) && address >= area.start &&
            address + count <= area.start + area.bytes.size()) {
            return area.bytes.data() + (address - area.start);
        }
    }
    return nullptr;
}

void LpcIspRom::echo(const std::string& bytes, RomLine& line) {
    if (echo_) {
        line.send(bytes);
    }
}

bool LpcIspRom::flipsThisLine(char command) {
    using Field = LpcIspSettings::Field;
    const bool has = (command == 'C' && settings_.flipField != Field::None) ||
                     (command == 'W' && (settings_.flipField == Field::RamAddress ||
                                         settings_.flipField == Field::Count));
    return has && ++flipCandidates_ == settings_.flipLine;
}

std::string LpcIspRom::flipped(const std::string& text) const {
    using Field = LpcIspSettings::Field;
    std::vector<std::string> parts = tokens(text);
    const bool copy = !parts.empty() && parts[0] == "C";
    size_t index = 0;
    switch (settings_.flipField) {
    case Field::RamAddress: index = copy ? 2 : 1; break;
    case Field::FlashAddress: index = 1; break;
    case Field::Count: index = copy ? 3 : 2; break;
    case Field::None: return text;
    }
    uint32_t value = 0;
    if (index >= parts.size() || !decimal(parts[index], value)) {
        return text;
    }
    parts[index] = std::to_string(value ^ (1u << settings_.flipBit));
    std::string out = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) {
        out += ' ' + parts[i];
    }
    return out;
}

void LpcIspRom::receive(const uint8_t* bytes, size_t count, RomLine& line) {
    for (size_t i = 0; i < count && !settings_.noAnswer && state_ != State::Running; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (state_ == State::Unsynced) {
            // Auto-baud: the rate of the "?" becomes the UART's rate.
            if (c == '?') {
                line.setRate(line.hostRate());
                line.send("Synchronized\r\n");
                state_ = State::AwaitSynchronized;
                lineBuffer_.clear();
                crHeld_ = false;
            }
            continue;
        }
        if (settings_.lineEnd == LpcIspSettings::LineEnd::Lf && (c == '\r' || c == '\n')) {
            if (c == '\r') {
                crHeld_ = true;
                continue;
            }
            std::string text = std::move(lineBuffer_);
            lineBuffer_.clear();
            endOfLine(std::move(text), crHeld_ ? "\r\n" : "\n", line);
            crHeld_ = false;
            continue;
        }
        // A CR that no LF followed ends nothing on such a chip and was never echoed: it is lost.
        crHeld_ = false;
        if (c == '\r' || c == '\n') {
            std::string terminator(1, c);
            if (c == '\r' && i + 1 < count && bytes[i + 1] == '\n') {
                terminator += '\n';
                ++i;
            }
            std::string text = std::move(lineBuffer_);
            lineBuffer_.clear();
            endOfLine(std::move(text), terminator, line);
            continue;
        }
        if (lineBuffer_.empty() && state_ == State::Command) {
            holdEcho_ = flipsThisLine(c);
        }
        if (!holdEcho_) {
            echo(std::string(1, c), line);
        }
        if (lineBuffer_.size() < kMaxLine) {
            lineBuffer_ += c;
        }
    }
}

void LpcIspRom::endOfLine(std::string text, const std::string& terminator, RomLine& line) {
    if (holdEcho_) {
        holdEcho_ = false;
        text = flipped(text);
        echo(text, line);
    }
    echo(terminator, line);
    if (text.empty()) {
        return;
    }
    switch (state_) {
    case State::AwaitSynchronized:
        if (text == "Synchronized") {
            line.send("OK\r\n");
            state_ = State::AwaitCrystal;
        } else {
            state_ = State::Unsynced;
            line.setRate(0);
        }
        break;
    case State::AwaitCrystal: {
        // The crystal frequency in kHz; anything else is not answered.
        uint32_t kHz = 0;
        if (decimal(text, kHz) && kHz > 0) {
            line.send("OK\r\n");
            state_ = State::Command;
        }
        break;
    }
    case State::Command: command(text, line); break;
    case State::Data: dataLine(text, line); break;
    case State::Reading: readAnswer(text, line); break;
    default: break;
    }
}

void LpcIspRom::reply(int code, RomLine& line, const std::string& extra) {
    std::string text;
    if (settings_.strayByte) {
        text += '\xFF';
    }
    text += std::to_string(code) + "\r\n";
    if (settings_.strayLineFeed) {
        text += '\n';
    }
    line.send(text + extra);
}

bool LpcIspRom::sectorsPrepared(uint32_t first, uint32_t last) const {
    return preparedFirst_ >= 0 && first >= static_cast<uint32_t>(preparedFirst_) &&
           last <= static_cast<uint32_t>(preparedLast_);
}

void LpcIspRom::command(const std::string& text, RomLine& line) {
    const std::vector<std::string> parts = tokens(text);
    struct Syntax {
        const char* name;
        size_t numbers; // decimal parameters
        bool mode;      // a trailing mode letter (G)
        bool locked;    // refused until unlocked
        CommandHandler handler;
    };
    static constexpr Syntax kCommands[] = {
        {"U", 1, false, false, &LpcIspRom::unlock},
        {"B", 2, false, false, &LpcIspRom::setBaudRate},
        {"A", 1, false, false, &LpcIspRom::setEcho},
        {"W", 2, false, false, &LpcIspRom::writeRam},
        {"R", 2, false, false, &LpcIspRom::readMemory},
        {"P", 2, false, false, &LpcIspRom::prepareSectors},
        {"C", 3, false, true, &LpcIspRom::copyToFlash},
        {"G", 1, true, true, &LpcIspRom::go},
        {"E", 2, false, true, &LpcIspRom::eraseSectors},
        {"I", 2, false, false, &LpcIspRom::blankCheck},
        {"J", 0, false, false, &LpcIspRom::readPartId},
        {"K", 0, false, false, &LpcIspRom::readBootCodeVersion},
        {"M", 3, false, false, &LpcIspRom::compare},
        {"N", 0, false, false, &LpcIspRom::readSerialNumber},
    };
    const Syntax* syntax = nullptr;
    for (const Syntax& s : kCommands) {
        if (!parts.empty() && parts[0] == s.name) {
            syntax = &s;
        }
    }
    if (syntax == nullptr) {
        return reply(kInvalidCommand, line);
    }
    Arguments arguments{std::vector<uint32_t>(syntax->numbers), {}};
    std::vector<uint32_t>& a = arguments.numbers;
    bool wellFormed = parts.size() == 1 + syntax->numbers + (syntax->mode ? 1 : 0);
    for (size_t i = 0; wellFormed && i < syntax->numbers; ++i) {
        wellFormed = decimal(parts[1 + i], a[i]);
    }
    if (!wellFormed) {
        return reply(kParamError, line);
    }
    if (syntax->locked && !unlocked_) {
        return reply(kCmdLocked, line);
    }
    if (syntax->mode) {
        arguments.mode = parts.back();
    }
    (this->*syntax->handler)(arguments, line);
}

void LpcIspRom::unlock(const Arguments& arguments, RomLine& line) {
    unlocked_ = arguments.numbers[0] == kUnlockCode;
    reply(unlocked_ ? kSuccess : kInvalidCode, line);
}

void LpcIspRom::setBaudRate(const Arguments& arguments, RomLine& line) {
    const std::vector<uint32_t>& a = arguments.numbers;
    static constexpr uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200, 230400};
    if (std::find(std::begin(kRates), std::end(kRates), a[0]) == std::end(kRates)) {
        return reply(kInvalidBaudRate, line);
    }
    if (a[1] != 1 && a[1] != 2) {
        return reply(kInvalidStopBit, line);
    }
    reply(kSuccess, line); // still at the old rate
    line.setRate(a[0]);
}

void LpcIspRom::setEcho(const Arguments& arguments, RomLine& line) {
    if (arguments.numbers[0] > 1) {
        return reply(kParamError, line);
    }
    echo_ = arguments.numbers[0] == 1;
    reply(kSuccess, line);
}

void LpcIspRom::readPartId(const Arguments&, RomLine& line) {
    reply(kSuccess, line, std::to_string(kPartId) + "\r\n");
}

void LpcIspRom::readBootCodeVersion(const Arguments&, RomLine& line) {
    reply(kSuccess, line, "1\r\n4\r\n"); // minor, then major: 4.1
}

void LpcIspRom::readSerialNumber(const Arguments&, RomLine& line) {
    std::string words;
    for (uint32_t word : settings_.uid) {
        words += std::to_string(word) + "\r\n";
    }
    reply(kSuccess, line, words);
}

uint8_t* LpcIspRom::wordArea(uint32_t address, uint32_t count, bool ramOnly, RomLine& line) {
    if (address % 4 != 0) {
        reply(kAddrError, line);
        return nullptr;
    }
    if (count % 4 != 0) {
        reply(kCountError, line);
        return nullptr;
    }
    uint8_t* bytes = memory(address, count, ramOnly);
    if (bytes == nullptr) {
        reply(kAddrNotMapped, line);
    }
    return bytes;
}

void LpcIspRom::writeRam(const Arguments& arguments, RomLine& line) {
    const std::vector<uint32_t>& a = arguments.numbers;
    uint8_t* bytes = wordArea(a[0], a[1], true, line);
    if (bytes == nullptr) {
        return;
    }
    reply(kSuccess, line);
    writeTarget_ = bytes;
    writeCount_ = a[1];
    written_ = blockStart_ = blockLines_ = 0;
    expectChecksum_ = false;
    state_ = writeCount_ == 0 ? State::Command : State::Data;
}

void LpcIspRom::readMemory(const Arguments& arguments, RomLine& line) {
    const std::vector<uint32_t>& a = arguments.numbers;
    const uint8_t* bytes = wordArea(a[0], a[1], false, line);
    if (bytes == nullptr) {
        return;
    }
    reply(kSuccess, line);
    if (a[1] > 0) {
        readSource_ = bytes;
        readCount_ = a[1];
        readDone_ = readBlockStart_ = 0;
        state_ = State::Reading;
        sendReadBlock(line);
    }
}

void LpcIspRom::compare(const Arguments& arguments, RomLine& line) {
    const std::vector<uint32_t>& a = arguments.numbers;
    if (a[0] % 4 != 0 || a[1] % 4 != 0) {
        return reply(kAddrError, line);
    }
    if (a[2] % 4 != 0) {
        return reply(kCountError, line);
    }
    const uint8_t* first = memory(a[0], a[2], false);
    const uint8_t* second = memory(a[1], a[2], false);
    if (first == nullptr || second == nullptr) {
        return reply(kAddrNotMapped, line);
    }
    for (uint32_t i = 0; i < a[2]; i += 4) {
        if (!std::equal(first + i, first + i + 4, second + i)) {
            return reply(kCompareError, line, std::to_string(i) + "\r\n");
        }
    }
    reply(kSuccess, line);
}

void LpcIspRom::prepareSectors(const Arguments& arguments, RomLine& line) {
    const std::vector<uint32_t>& a = arguments.numbers;
    if (!sectorsValid(a[0], a[1])) {
        return reply(kInvalidSector, line);
    }
    preparedFirst_ = static_cast<int>(a[0]);
    preparedLast_ = static_cast<int>(a[1]);
    reply(kSuccess, line);
}

void LpcIspRom::blankCheck(const Arguments& arguments, RomLine& line) {
    const std::vector<uint32_t>& a = arguments.numbers;
    if (!sectorsValid(a[0], a[1])) {
        return reply(kInvalidSector, line);
    }
    const uint32_t start = sectorStart(a[0]);
    const uint32_t end = sectorEnd(a[1]);
    for (uint32_t at = start; at < end; at += 4) {
        const uint32_t word = uint32_t{flash_[at]} | uint32_t{flash_[at + 1]} << 8 |
                              uint32_t{flash_[at + 2]} << 16 | uint32_t{flash_[at + 3]} << 24;
        if (word != 0xFFFFFFFF) {
            return reply(kSectorNotBlank, line,
                         std::to_string(at - start) + "\r\n" + std::to_string(word) + "\r\n");
        }
    }
    reply(kSuccess, line);
}

void LpcIspRom::eraseSectors(const Arguments& arguments, RomLine& line) {
    const std::vector<uint32_t>& a = arguments.numbers;
    if (!sectorsValid(a[0], a[1])) {
        return reply(kInvalidSector, line);
    }
    if (!sectorsPrepared(a[0], a[1])) {
        return reply(kNotPrepared, line);
    }
    std::fill(flash_.begin() + sectorStart(a[0]), flash_.begin() + sectorEnd(a[1]), 0xFF);
    uint32_t ms = settings_.eraseMsPerSector * (a[1] - a[0] + 1);
    if (settings_.slowEraseMs != 0 && !slowEraseUsed_) {
        ms = settings_.slowEraseMs;
        slowEraseUsed_ = true;
    }
    preparedFirst_ = preparedLast_ = -1;
    line.busy(ms);
    reply(kSuccess, line);
}

void LpcIspRom::copyToFlash(const Arguments& arguments, RomLine& line) {
    const uint32_t flash = arguments.numbers[0], ram = arguments.numbers[1],
                   count = arguments.numbers[2];
    if (ram % 4 != 0) {
        return reply(kSrcAddrError, line);
    }
    if (flash % 256 != 0) {
        return reply(kDstAddrError, line);
    }
    if (count != 256 && count != 512 && count != 1024 && count != 4096) {
        return reply(kCountError, line);
    }
    const uint8_t* source = memory(ram, count, true);
    if (source == nullptr) {
        return reply(kSrcAddrNotMapped, line);
    }
    if (uint64_t{flash} + count > kFlashSize) {
        return reply(kDstAddrNotMapped, line);
    }
    if (!sectorsPrepared(sectorOf(flash), sectorOf(flash + count - 1))) {
        return reply(kNotPrepared, line);
    }
    for (uint32_t i = 0; i < count; ++i) {
        flash_[flash + i] &= source[i];
    }
    preparedFirst_ = preparedLast_ = -1;
    line.busy(settings_.copyMsPer256 * (count / 256));
    reply(kSuccess, line);
}

void LpcIspRom::go(const Arguments& arguments, RomLine& line) {
    const uint32_t address = arguments.numbers[0];
    // Thumb only: the core has no ARM state.
    if (arguments.mode != "T") {
        return reply(kParamError, line);
    }
    if (address % 4 != 0) {
        return reply(kAddrError, line);
    }
    if (memory(address, 4, false) == nullptr) {
        return reply(kAddrNotMapped, line);
    }
    reply(kSuccess, line);
    state_ = State::Running;
    dumpFlash();
    printf("bootrom-sim: go to 0x%08X\n", address);
    fflush(stdout);
}

void LpcIspRom::dataLine(const std::string& text, RomLine& line) {
    if (expectChecksum_) {
        uint32_t sum = 0;
        for (uint32_t i = blockStart_; i < written_; ++i) {
            sum += writeTarget_[i];
        }
        const bool good = text == std::to_string(sum);
        if (!good || (settings_.resendOnce && !resendUsed_)) {
            resendUsed_ = resendUsed_ || good;
            written_ = blockStart_;
            line.send("RESEND\r\n");
        } else {
            blockStart_ = written_;
            line.send("OK\r\n");
        }
        expectChecksum_ = false;
        blockLines_ = 0;
        if (written_ == writeCount_) {
            state_ = State::Command;
        }
        return;
    }
    std::vector<uint8_t> bytes;
    if (!uuDecode(text, bytes) || written_ + bytes.size() > writeCount_) {
        // A broken line: the checksum that follows will not match.
        bytes.clear();
    }
    std::copy(bytes.begin(), bytes.end(), writeTarget_ + written_);
    written_ += static_cast<uint32_t>(bytes.size());
    ++blockLines_;
    expectChecksum_ = blockLines_ == kLinesPerBlock || written_ == writeCount_;
}

void LpcIspRom::sendReadBlock(RomLine& line) {
    std::string block;
    uint32_t sum = 0;
    readDone_ = readBlockStart_;
    for (uint32_t lines = 0; lines < kLinesPerBlock && readDone_ < readCount_; ++lines) {
        const uint32_t take = std::min(kBytesPerLine, readCount_ - readDone_);
        for (uint32_t i = 0; i < take; ++i) {
            sum += readSource_[readDone_ + i];
        }
        block += uuEncode(readSource_ + readDone_, take) + "\r\n";
        readDone_ += take;
    }
    line.send(block + std::to_string(sum) + "\r\n");
}

void LpcIspRom::readAnswer(const std::string& text, RomLine& line) {
    if (text == "OK") {
        readBlockStart_ = readDone_;
        if (readDone_ == readCount_) {
            state_ = State::Command;
        } else {
            sendReadBlock(line);
        }
    } else if (text == "RESEND") {
        sendReadBlock(line);
    } else {
        state_ = State::Command; // the host gave the read up
    }
}

void LpcIspRom::dumpFlash() const {
    if (settings_.flashDump.empty()) {
        return;
    }
    const std::string temporary = settings_.flashDump + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(flash_.data()),
                  static_cast<std::streamsize>(flash_.size()));
    }
    std::rename(temporary.c_str(), settings_.flashDump.c_str());
}

void LpcIspRom::finish() {
    dumpFlash();
}
