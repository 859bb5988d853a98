// The simulated i.MX serial download ROM: 16-byte command frames with big-endian fields, answers
// of the 4-byte security mode and a 4-byte status. Memory nobody wrote reads as what an earlier
// life left there.
#include "ImxSdpRom.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
constexpr uint8_t kIvtTag = 0xD1, kDcdTag = 0xD2;
constexpr uint8_t kDcdWrite = 0xCC, kDcdCheck = 0xCF, kDcdNop = 0xC0, kDcdUnlock = 0xB2;
constexpr uint32_t kMaxDcd = 1768;          // the largest table a ROM takes
constexpr uint32_t kMaxTransfer = 64 << 20; // more than any RAM the part has

uint32_t bigEndian(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

} // namespace

std::string ImxSdpRom::word(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

uint8_t ImxSdpRom::byteAt(uint32_t address) const {
    if (const auto it = registers_.find(address); it != registers_.end()) {
        return it->second;
    }
    for (const auto& [start, image] : images_) {
        if (address >= start && address - start < image.size()) {
            return image[address - start];
        }
    }
    uint64_t z = (address / 8 + 1) * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<uint8_t>((z ^ (z >> 31)) >> (8 * (address % 8)));
}

uint32_t ImxSdpRom::valueAt(uint32_t address, unsigned width) const {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        value |= uint32_t{byteAt(address + i)} << (8 * i);
    }
    return value;
}

void ImxSdpRom::setValue(uint32_t address, uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        const uint32_t at = address + i;
        const auto byte = static_cast<uint8_t>(value >> (8 * i));
        bool inImage = false;
        for (auto& [start, image] : images_) {
            if (at >= start && at - start < image.size()) {
                image[at - start] = byte;
                inImage = true;
            }
        }
        if (!inImage) {
            registers_[at] = byte;
        }
    }
}

void ImxSdpRom::store(uint32_t address, std::vector<uint8_t> bytes) {
    const uint64_t end = uint64_t{address} + bytes.size();
    // Older images and registers under the new bytes read as the new bytes from now on.
    for (auto& [start, image] : images_) {
        for (uint64_t at = std::max<uint64_t>(start, address);
             at < std::min<uint64_t>(start + image.size(), end); ++at) {
            image[at - start] = bytes[at - address];
        }
    }
    registers_.erase(registers_.lower_bound(address),
                     end > UINT32_MAX ? registers_.end()
                                      : registers_.lower_bound(static_cast<uint32_t>(end)));
    images_[address] = std::move(bytes);
}

void ImxSdpRom::quiet() {
    // A frame cut short (bytes of another protocol, a host that gave up) is dropped.
    if (!settings_.strictFraming) {
        frame_.clear();
    }
}

void ImxSdpRom::reset() {
    phase_ = Phase::Frames;
    associated_ = false;
    frame_.clear();
    data_.clear();
    dataLeft_ = 0;
    status_ = kStatusOk;
}

void ImxSdpRom::poll(RomLine&) {
    if (phase_ == Phase::Running && settings_.backInRom && settings_.backInRom()) {
        reset();
        printf("bootrom-sim: reset into the boot ROM\n");
        fflush(stdout);
    }
}

void ImxSdpRom::receive(const uint8_t* bytes, size_t count, RomLine& line) {
    if (settings_.noAnswer || phase_ == Phase::Running) {
        return;
    }
    for (size_t i = 0; i < count && phase_ != Phase::Running; ++i) {
        if (phase_ == Phase::FileData || phase_ == Phase::DcdData) {
            data_.push_back(bytes[i]);
            if (--dataLeft_ > 0) {
                continue;
            }
            const bool dcd = phase_ == Phase::DcdData;
            phase_ = Phase::Frames;
            store(dataAddress_, std::move(data_));
            data_.clear();
            if (!dcd) {
                line.send(word(kHabOpen) + word(kWriteComplete));
            } else if (runDcd(dataAddress_)) {
                line.send(word(kHabOpen) + word(kRegisterWritten));
            } else {
                status_ = kStatusBadDcd;
                line.send(word(kHabOpen) + word(status_));
            }
            continue;
        }
        frame_.push_back(bytes[i]);
        if (settings_.requireAssociation && !associated_) {
            // Before the handshake the ROM only looks for its pattern.
            if (frame_.size() > 4) {
                frame_.erase(frame_.begin());
            }
        }
        if (frame_.size() == 4 && std::equal(frame_.begin(), frame_.end(), kAssociation)) {
            associated_ = true;
            frame_.clear();
            line.send(std::string(std::begin(kAssociation), std::end(kAssociation)));
        } else if (frame_.size() == 16) {
            frame(line);
            frame_.clear();
        }
    }
}

void ImxSdpRom::frame(RomLine& line) {
    const uint16_t type = static_cast<uint16_t>(frame_[0] << 8 | frame_[1]);
    const uint32_t address = bigEndian(&frame_[2]);
    const uint8_t format = frame_[6];
    const uint32_t count = bigEndian(&frame_[7]);
    const uint32_t value = bigEndian(&frame_[11]);
    const unsigned width = format == 0x08 ? 1 : format == 0x10 ? 2 : 4;
    switch (type) {
    case 0x0101: { // READ_REGISTER: count bytes from address
        if (count > kMaxTransfer) {
            status_ = kStatusBadCommand;
            line.send(word(kHabOpen) + word(status_));
            break;
        }
        std::string bytes = word(kHabOpen);
        for (uint32_t i = 0; i < count; ++i) {
            bytes += static_cast<char>(byteAt(address + i));
        }
        line.send(bytes);
        break;
    }
    case 0x0202: // WRITE_REGISTER
        if (format != 0x08 && format != 0x10 && format != 0x20) {
            status_ = kStatusBadCommand;
            line.send(word(kHabOpen) + word(status_));
            break;
        }
        setValue(address, value, width);
        line.send(word(kHabOpen) + word(kRegisterWritten));
        break;
    case 0x0404: // WRITE_FILE
    case 0x0A0A: // DCD_WRITE
        if ((type == 0x0A0A && (count < 4 || count > kMaxDcd)) || count > kMaxTransfer) {
            status_ = type == 0x0A0A ? kStatusBadDcd : kStatusBadCommand;
            line.send(word(kHabOpen) + word(status_));
            break;
        }
        if (count == 0) {
            line.send(word(kHabOpen) + word(kWriteComplete));
            break;
        }
        phase_ = type == 0x0404 ? Phase::FileData : Phase::DcdData;
        dataAddress_ = address;
        dataLeft_ = count;
        data_.reserve(count);
        break;
    case 0x0505: line.send(word(kHabOpen) + word(status_)); break;
    case 0x0B0B: jump(address, line); break;
    default:
        // An unknown frame: the ROM keeps listening and reports it on the next ERROR_STATUS.
        status_ = kStatusBadCommand;
        break;
    }
}

bool ImxSdpRom::runDcd(uint32_t address) {
    if (byteAt(address) != kDcdTag || (byteAt(address + 3) & 0xF0) != 0x40) {
        return false;
    }
    const uint32_t length = uint32_t{byteAt(address + 1)} << 8 | byteAt(address + 2);
    if (length < 4 || length > kMaxDcd) {
        return false;
    }
    for (uint32_t at = 4; at < length;) {
        if (at + 4 > length) {
            return false;
        }
        const uint8_t tag = byteAt(address + at);
        const uint32_t size = uint32_t{byteAt(address + at + 1)} << 8 | byteAt(address + at + 2);
        const uint8_t parameter = byteAt(address + at + 3);
        const unsigned width = parameter & 7;
        const bool mask = (parameter & 0x08) != 0, set = (parameter & 0x10) != 0;
        if (size < 4 || at + size > length) {
            return false;
        }
        auto big = [&](uint32_t offset) {
            uint32_t v = 0;
            for (uint32_t i = 0; i < 4; ++i) {
                v = v << 8 | byteAt(address + at + offset + i);
            }
            return v;
        };
        switch (tag) {
        case kDcdWrite:
            if ((width != 1 && width != 2 && width != 4) || (size - 4) % 8 != 0) {
                return false;
            }
            for (uint32_t entry = 4; entry < size; entry += 8) {
                const uint32_t target = big(entry), v = big(entry + 4);
                const uint32_t now = valueAt(target, width);
                setValue(target, !mask ? v : set ? now | v : now & ~v, width);
            }
            break;
        case kDcdCheck: {
            // Evaluated once against what was written: nothing here changes by itself.
            if ((width != 1 && width != 2 && width != 4) || (size != 12 && size != 16)) {
                return false;
            }
            const uint32_t bits = valueAt(big(4), width) & big(8), wanted = big(8);
            const bool holds =
                mask ? (set ? bits != 0 : bits != wanted) : (set ? bits == wanted : bits == 0);
            if (!holds) {
                return false;
            }
            break;
        }
        case kDcdNop:
        case kDcdUnlock: break;
        default: return false;
        }
        at += size;
    }
    return true;
}

void ImxSdpRom::jump(uint32_t address, RomLine& line) {
    line.send(word(kHabOpen));
    bool good = false;
    if (settings_.requireIvt) {
        // Header 0xD1, length 32 (big-endian), version 4x; the table names itself, its entry
        // point and optionally a DCD to run before the jump.
        good = byteAt(address) == kIvtTag && byteAt(address + 1) == 0 &&
               byteAt(address + 2) == 0x20 && (byteAt(address + 3) & 0xF0) == 0x40 &&
               valueAt(address + 20, 4) == address && valueAt(address + 4, 4) != 0;
        const uint32_t dcd = valueAt(address + 12, 4);
        good = good && (dcd == 0 || runDcd(dcd));
    } else {
        for (const auto& [start, image] : images_) {
            good = good || (address >= start && address - start < image.size());
        }
    }
    if (!good) {
        status_ = kStatusBadJump;
        line.send(word(status_));
        return;
    }
    if (!settings_.ramDump.empty()) {
        std::ofstream out(settings_.ramDump, std::ios::binary | std::ios::trunc);
        for (const auto& [start, image] : images_) {
            out << start << ' ' << image.size() << '\n';
            out.write(reinterpret_cast<const char*>(image.data()),
                      static_cast<std::streamsize>(image.size()));
        }
    }
    printf("bootrom-sim: jump to 0x%08X\n", address);
    fflush(stdout);
    phase_ = Phase::Running;
    line.send(settings_.banner);
    if (settings_.onJump) {
        settings_.onJump(address);
    }
}
