// The simulated LPC ISP boot ROM. Flash programming ANDs bits as NOR flash does, so only an
// erase brings bits back to 1.
#include "LpcIspRom.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr uint32_t kSectors = 30;

uint32_t sectorStart(uint32_t sector) {
    return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
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

} // namespace

LpcIspRom::LpcIspRom(const LpcIspSettings& settings)
    : settings_(settings), flash_(kFlashSize, 0xFF), ram_(kRamSize, 0) {}

void LpcIspRom::receive(const uint8_t* bytes, size_t count, RomLine& line) {
    if (settings_.noAnswer || state_ == State::Running) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (state_ == State::Unsynced) {
            if (c == '?') {
                line.send("Synchronized\r\n");
                state_ = State::AwaitSynchronized;
                lineBuffer_.clear();
            }
            continue;
        }
        if (echo_) {
            line.send(std::string(1, c));
        }
        lineBuffer_ += c;
        if (lineBuffer_.size() > 256) {
            lineBuffer_.erase(0, lineBuffer_.size() - 256);
        }
        if (lineBuffer_.size() >= 2 &&
            lineBuffer_.compare(lineBuffer_.size() - 2, 2, "\r\n") == 0) {
            std::string text = lineBuffer_.substr(0, lineBuffer_.size() - 2);
            lineBuffer_.clear();
            onLine(text, line);
        }
    }
}

void LpcIspRom::onLine(const std::string& text, RomLine& line) {
    switch (state_) {
    case State::AwaitSynchronized:
        if (text == "Synchronized") {
            line.send("OK\r\n");
            state_ = State::AwaitCrystal;
        } else {
            state_ = State::Unsynced;
        }
        break;
    case State::AwaitCrystal:
        line.send("OK\r\n");
        state_ = State::Command;
        break;
    case State::Command: command(text, line); break;
    case State::Data: dataLine(text, line); break;
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
    std::istringstream in(text);
    std::string name;
    in >> name;
    std::vector<long long> args;
    for (long long value; in >> value;) {
        args.push_back(value);
    }
    auto sectorsValid = [&] {
        return args.size() >= 2 && args[0] >= 0 && args[0] <= args[1] && args[1] < kSectors;
    };
    if (name == "A" && args.size() == 1 && (args[0] == 0 || args[0] == 1)) {
        echo_ = args[0] == 1;
        reply(0, line);
    } else if (name == "U" && args.size() == 1) {
        unlocked_ = args[0] == 23130;
        reply(unlocked_ ? 0 : 16, line);
    } else if (name == "N" && args.empty()) {
        std::string words;
        for (uint32_t word : settings_.uid) {
            words += std::to_string(word) + "\r\n";
        }
        reply(0, line, words);
    } else if (name == "P") {
        if (!sectorsValid()) {
            reply(7, line);
        } else {
            preparedFirst_ = static_cast<int>(args[0]);
            preparedLast_ = static_cast<int>(args[1]);
            reply(0, line);
        }
    } else if (name == "E") {
        if (!unlocked_) {
            reply(15, line);
        } else if (!sectorsValid()) {
            reply(7, line);
        } else if (!sectorsPrepared(static_cast<uint32_t>(args[0]),
                                    static_cast<uint32_t>(args[1]))) {
            reply(9, line);
        } else {
            const uint32_t first = static_cast<uint32_t>(args[0]);
            const uint32_t last = static_cast<uint32_t>(args[1]);
            const uint32_t end = last + 1 < kSectors ? sectorStart(last + 1) : kFlashSize;
            std::fill(flash_.begin() + sectorStart(first), flash_.begin() + end, 0xFF);
            uint32_t ms = settings_.eraseMsPerSector * (last - first + 1);
            if (settings_.slowEraseMs != 0 && !slowEraseUsed_) {
                ms = settings_.slowEraseMs;
                slowEraseUsed_ = true;
            }
            preparedFirst_ = preparedLast_ = -1;
            line.busy(ms);
            reply(0, line);
        }
    } else if (name == "W" && args.size() == 2) {
        const long long address = args[0], count = args[1];
        if (address < kRamStart || address % 4 != 0 || count <= 0 ||
            address + count > kRamStart + kRamSize) {
            reply(address < kRamStart || address % 4 != 0 ? 3 : 6, line);
        } else if (count % 4 != 0) {
            reply(6, line);
        } else {
            writeAddress_ = static_cast<uint32_t>(address - kRamStart);
            writeCount_ = static_cast<uint32_t>(count);
            written_ = blockStart_ = blockLines_ = 0;
            expectChecksum_ = false;
            state_ = State::Data;
            reply(0, line);
        }
    } else if (name == "C" && args.size() == 3) {
        const long long flash = args[0], ram = args[1], count = args[2];
        if (!unlocked_) {
            reply(15, line);
        } else if (flash < 0 || flash % 256 != 0 || flash + count > kFlashSize) {
            reply(3, line);
        } else if (ram < kRamStart || ram % 4 != 0 || ram + count > kRamStart + kRamSize) {
            reply(2, line);
        } else if (count != 256 && count != 512 && count != 1024 && count != 4096) {
            reply(6, line);
        } else {
            const uint32_t first =
                flash < 0x10000 ? flash / 0x1000 : 16 + (flash - 0x10000) / 0x8000;
            const uint32_t lastAddress = static_cast<uint32_t>(flash + count - 1);
            const uint32_t last = lastAddress < 0x10000 ? lastAddress / 0x1000
                                                        : 16 + (lastAddress - 0x10000) / 0x8000;
            if (!sectorsPrepared(first, last)) {
                reply(9, line);
                return;
            }
            for (long long i = 0; i < count; ++i) {
                flash_[static_cast<size_t>(flash + i)] &=
                    ram_[static_cast<size_t>(ram - kRamStart + i)];
            }
            preparedFirst_ = preparedLast_ = -1;
            line.busy(static_cast<uint32_t>(settings_.copyMsPer256 * (count / 256)));
            reply(0, line);
        }
    } else if (name == "G" && args.size() == 1) {
        if (!unlocked_) {
            reply(15, line);
            return;
        }
        reply(0, line);
        state_ = State::Running;
        dumpFlash();
        printf("bootrom-sim: go to 0x%08llX\n", args[0]);
        fflush(stdout);
    } else {
        reply(1, line);
    }
}

void LpcIspRom::dataLine(const std::string& text, RomLine& line) {
    if (expectChecksum_) {
        uint32_t sum = 0;
        for (uint32_t i = blockStart_; i < written_; ++i) {
            sum += ram_[writeAddress_ + i];
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
    std::copy(bytes.begin(), bytes.end(), ram_.begin() + writeAddress_ + written_);
    written_ += static_cast<uint32_t>(bytes.size());
    ++blockLines_;
    expectChecksum_ = blockLines_ == 20 || written_ == writeCount_;
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
