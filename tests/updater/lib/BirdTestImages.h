// Helpers for tests that need BIRD files: raw block images byte by byte, and files on disk.
#pragma once

#include "BirdWriter.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

// A block image assembled by hand, so tests can also write images that lie about lengths.
class RawImage {
  public:
    RawImage& u8(uint8_t value) {
        bytes.push_back(value);
        return *this;
    }
    RawImage& be32(uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<uint8_t>(value >> shift));
        }
        return *this;
    }
    RawImage& fill(size_t count, uint8_t value) {
        bytes.insert(bytes.end(), count, value);
        return *this;
    }
    RawImage& text(const std::string& value) {
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    // One record: type-and-flags byte, length, payload.
    RawImage& record(uint8_t typeAndFlags, const std::vector<uint8_t>& payload) {
        u8(typeAndFlags).be32(static_cast<uint32_t>(payload.size()));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return *this;
    }
    std::vector<uint8_t> bytes;
};

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

// The info block texts padded to 16 characters each.
inline std::vector<uint8_t> infoPayload(const std::string& text, const std::string& version,
                                        const std::string& serial, const std::string& model) {
    std::vector<uint8_t> payload;
    for (const std::string* field : {&text, &version, &serial, &model}) {
        std::string padded = *field;
        padded.resize(16, ' ');
        payload.insert(payload.end(), padded.begin(), padded.end());
    }
    return payload;
}
