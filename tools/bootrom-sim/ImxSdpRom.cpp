// The simulated i.MX serial download ROM: 16-byte command frames, big-endian fields, answers of
// the 4-byte security mode and a 4-byte status.
#include "ImxSdpRom.h"

#include <cstdio>
#include <fstream>

namespace {

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

void ImxSdpRom::quiet() {
    // A frame cut short (bytes of another protocol, a host that gave up) is dropped.
    frame_.clear();
}

void ImxSdpRom::receive(const uint8_t* bytes, size_t count, RomLine& line) {
    if (settings_.noAnswer) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (dataLeft_ > 0) {
            data_.push_back(bytes[i]);
            if (--dataLeft_ == 0) {
                images_[dataAddress_] = std::move(data_);
                data_.clear();
                line.send(word(kHabOpen) + word(kWriteComplete));
            }
            continue;
        }
        frame_.push_back(bytes[i]);
        if (frame_.size() == 16) {
            frame(line);
            frame_.clear();
        }
    }
}

void ImxSdpRom::frame(RomLine& line) {
    const uint16_t type = static_cast<uint16_t>(frame_[0] << 8 | frame_[1]);
    const uint32_t address = bigEndian(&frame_[2]);
    const uint32_t count = bigEndian(&frame_[7]);
    switch (type) {
    case 0x0505: line.send(word(kHabOpen) + word(status_)); break;
    case 0x0404:
        if (count == 0) {
            line.send(word(kHabOpen) + word(kWriteComplete));
            break;
        }
        dataAddress_ = address;
        dataLeft_ = count;
        data_.reserve(count);
        break;
    case 0x0B0B: {
        bool inside = false;
        for (const auto& [start, image] : images_) {
            inside = inside || (address >= start && address - start < image.size());
        }
        line.send(word(kHabOpen));
        if (!inside) {
            status_ = kStatusBadJump;
            line.send(word(status_));
            break;
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
        if (settings_.onJump) {
            settings_.onJump(address);
        }
        break;
    }
    default:
        // An unknown frame: the ROM keeps listening and reports it on the next ERROR_STATUS.
        status_ = 0x55555555;
        break;
    }
}
