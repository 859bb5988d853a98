// The records of a decompressed BIRD block image: one reader for a record header, shared by the
// full block walk, the version-only walk and the inflater's guess at the image size.
#pragma once

#include "BirdFile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

// A block image is a block count, the records and a checksum, each number 4 bytes big-endian.
inline constexpr size_t kBirdCountSize = 4;
inline constexpr size_t kBirdChecksumSize = 4;

inline uint32_t birdBigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// A record header: the type (low 5 bits) and flags (high 3 bits) in one byte, then the payload
// length.
struct BirdRecordHeader {
    static constexpr size_t kSize = 5;

    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;

    // Decodes the header at offset at of bytes, of which size are at hand. False, leaving the
    // header as it was, when they do not reach past it: kSize bytes from at are needed.
    bool read(const uint8_t* bytes, uint64_t size, uint64_t at) {
        if (at > size || size - at < kSize) {
            return false;
        }
        type = bytes[at] & 0x1F;
        flags = (bytes[at] >> 5) & 0x07;
        length = birdBigEndian32(bytes + at + 1);
        return true;
    }
    // The offset just past the payload of the record that starts at at: where the next record
    // starts. A 64-bit sum, so a lying length cannot wrap it.
    uint64_t end(uint64_t at) const { return at + kSize + length; }
    // Loader and firmware payloads begin with their 4-byte load address, and loaders take the
    // image after it: a record shorter than that holds no image, and the walks end at it.
    bool lacksLoadAddress() const {
        return (type == BIRD_BLOCK_LOADER || type == BIRD_BLOCK_FIRMWARE) && length < 4;
    }
};

// The version in info field 1 (the size bytes at field): up to its first NUL or space.
inline std::string birdVersionText(const char* field, size_t size) {
    std::string text(field, size);
    const size_t end = std::min(text.find('\0'), text.find(' '));
    if (end != std::string::npos) {
        text.resize(end);
    }
    return text;
}
