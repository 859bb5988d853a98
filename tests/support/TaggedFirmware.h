// Firmware images for upgrade tests: bytes that name their build and version the way the virtual
// module reads them after a reboot, written into BIRD files.
#pragma once

#include "BirdWriter.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// The tag "CVFW", the build and the packed version (big-endian) at byte 64.
inline std::vector<uint8_t> taggedFirmware(size_t n, uint32_t build, uint32_t version) {
    std::vector<uint8_t> bytes = pattern(n, 3);
    const uint8_t tag[12] = {'C',
                             'V',
                             'F',
                             'W',
                             uint8_t(build >> 24),
                             uint8_t(build >> 16),
                             uint8_t(build >> 8),
                             uint8_t(build),
                             uint8_t(version >> 24),
                             uint8_t(version >> 16),
                             uint8_t(version >> 8),
                             uint8_t(version)};
    std::copy(std::begin(tag), std::end(tag), bytes.begin() + 64);
    return bytes;
}

// A loader and a tagged firmware block, with an offsets block (so any serial number takes it)
// when offsets is set; versionText and model go into the info fields.
inline bool writeTaggedBird(const std::string& path, uint32_t build, uint32_t version,
                            const std::string& versionText, const std::string& model, bool offsets,
                            const std::string& serialText, std::string& error) {
    BirdWriter writer;
    writer.addLoader(0x1000, pattern(300, 9));
    writer.addFirmware(0x8000, taggedFirmware(2000, build, version));
    if (offsets)
        writer.addOffsets(0x8010, 0);
    writer.setInfoField(1, versionText);
    writer.setInfoField(2, serialText);
    writer.setInfoField(3, model);
    return writer.writeFile(path, error);
}

} // namespace testsupport
