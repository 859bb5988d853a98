// Builds update-server catalogues for tests with the BIRD writer of birdtool_lib.
#pragma once

#include "BirdWriter.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// Deterministic bytes that do not compress away, so a file of a given size stays that size.
inline std::vector<uint8_t> firmwareBytes(size_t count, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(count);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

// A loader image that an i.MX boot ROM checking its jumps will start: an image vector table at
// the load address that names itself and its entry point, with boot data covering the image,
// then the loader's body.
inline std::vector<uint8_t> imxLoaderBytes(uint32_t address, size_t count, uint32_t seed = 1) {
    std::vector<uint8_t> bytes = firmwareBytes(count < 0x100 ? 0x100 : count, seed);
    const uint32_t words[] = {0x402000D1,
                              address + 0x100,
                              0,
                              0,
                              address + 0x20,
                              address,
                              0,
                              0,
                              address,
                              static_cast<uint32_t>(bytes.size()),
                              0};
    for (size_t i = 0; i < std::size(words); ++i) {
        for (size_t j = 0; j < 4; ++j) {
            bytes[4 * i + j] = static_cast<uint8_t>(words[i] >> (8 * j));
        }
    }
    return bytes;
}

// Writes catalogue/<serial>/<build>.bird with a firmware block and an info block naming version.
inline std::filesystem::path addBuild(const std::filesystem::path& catalogue,
                                      const std::string& serial, uint32_t build,
                                      const std::string& version, size_t firmwareSize = 4096) {
    BirdWriter writer;
    writer.addFirmware(0x00010000, firmwareBytes(firmwareSize, build));
    writer.setInfoField(0, "test image");
    writer.setInfoField(1, version);
    writer.setInfoField(2, serial);
    writer.setInfoField(3, "ABC");
    const std::filesystem::path folder = catalogue / serial;
    std::filesystem::create_directories(folder);
    const std::filesystem::path path = folder / (std::to_string(build) + ".bird");
    std::string error;
    if (!writer.writeFile(path.string(), error, 1)) {
        throw std::runtime_error(error);
    }
    return path;
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace testsupport
