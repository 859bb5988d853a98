// Decompression bombs in BIRD form for tests and benchmarks: a firmware block of zeros that
// deflates to almost nothing, padded after its stream so that the rule "at most 8 times the
// compressed body" alone lets it through.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

struct BirdBomb {
    uint64_t imageBytes = 0; // size of the firmware block's zeros
    bool infoFirst = false;  // the info block before the zeros (a version walk stops there)
    std::string version = "6.6.6";
    std::string serial = "40F5849A";
};

// The file bytes of bomb: "bird", two header bytes, the zlib stream of the block image and filler
// up to an eighth of the image.
inline std::vector<uint8_t> birdBombBytes(const BirdBomb& bomb) {
    const auto be32 = [](std::string& out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out += static_cast<char>(value >> shift);
        }
    };
    std::string info(1, '\4');
    be32(info, 64);
    for (std::string field : {std::string("bomb"), bomb.version, bomb.serial, std::string("ABC")}) {
        field.resize(16, ' ');
        info += field;
    }
    std::string head;
    be32(head, 2);
    if (bomb.infoFirst) {
        head += info;
    }
    head += '\1'; // firmware: its length, the load address, then the zeros
    be32(head, static_cast<uint32_t>(bomb.imageBytes + 4));
    be32(head, 0);
    std::string tail = bomb.infoFirst ? std::string() : info;
    be32(tail, 0); // checksum

    std::vector<uint8_t> file = {'b', 'i', 'r', 'd', 1, 1};
    z_stream stream{};
    if (deflateInit(&stream, Z_BEST_SPEED) != Z_OK) {
        throw std::runtime_error("deflateInit failed");
    }
    const std::vector<uint8_t> zeros(1 << 20, 0);
    uint8_t out[1 << 16];
    const auto push = [&](const uint8_t* data, size_t size, int flush) {
        stream.next_in = const_cast<Bytef*>(data);
        stream.avail_in = static_cast<uInt>(size);
        do {
            stream.next_out = out;
            stream.avail_out = sizeof out;
            deflate(&stream, flush);
            file.insert(file.end(), out, out + (sizeof out - stream.avail_out));
        } while (stream.avail_out == 0);
    };
    push(reinterpret_cast<const uint8_t*>(head.data()), head.size(), Z_NO_FLUSH);
    for (uint64_t left = bomb.imageBytes; left > 0;) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
        push(zeros.data(), step, Z_NO_FLUSH);
        left -= step;
    }
    push(reinterpret_cast<const uint8_t*>(tail.data()), tail.size(), Z_FINISH);
    deflateEnd(&stream);
    const uint64_t image = head.size() + bomb.imageBytes + tail.size();
    file.resize(std::max<uint64_t>(file.size(), 6 + image / 8 + 4096), 0xA5);
    return file;
}

} // namespace testsupport
