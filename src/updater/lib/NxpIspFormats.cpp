// What the NXP ISP client knows without asking the chip: the UU-encoded line form, the names of
// the return codes, the flash's sectors and the copy sizes.
#include "NxpIspClient.h"

#include "Debug.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr const char* kReturnCodeTexts[] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
};

} // namespace

const char* NxpIspClient::returnCodeText(const char* line) {
    if (line == nullptr) {
        return "Unknown error";
    }
    const size_t start = nxpSkipNoise(line, strlen(line));
    const long code = strtol(line + start, nullptr, 0);
    if (code < 0 || code >= static_cast<long>(std::size(kReturnCodeTexts))) {
        return "Unknown error";
    }
    return kReturnCodeTexts[code];
}

std::string NxpIspClient::uuEncodeLine(const uint8_t* data, size_t count) {
    // The value 0 is written as a grave accent, not a space, so no line ends in blanks.
    auto character = [](uint32_t value) { return static_cast<char>(value == 0 ? 96 : value + 32); };
    count = std::min(count, kBytesPerLine);
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

bool NxpIspClient::uuDecodeLine(const char* line, size_t length, std::string& bytes) {
    // Space and grave accent both stand for 0.
    auto value = [](char c) { return static_cast<uint32_t>((c - 32) & 0x3F); };
    bytes.clear();
    if (length == 0) {
        return false;
    }
    const size_t count = value(line[0]);
    if (count > kBytesPerLine || length < 1 + (count + 2) / 3 * 4) {
        return false;
    }
    for (size_t i = 1; bytes.size() < count; i += 4) {
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j) {
            group = group << 6 | value(line[i + j]);
        }
        for (int shift = 16; shift >= 0 && bytes.size() < count; shift -= 8) {
            bytes += static_cast<char>(group >> shift);
        }
    }
    return true;
}

uint32_t NxpIspClient::copySizeFor(uint32_t length) {
    for (uint32_t size : {256u, 512u, 1024u, 4096u}) {
        if (length <= size) {
            return size;
        }
    }
    Debug_Print(DEBUG_NXPSerial, "Copy length is too large. %u > 4096.\n", length);
    return length;
}

uint32_t NxpIspClient::sectorOfAddress(uint32_t address) {
    if (address < 0x10000) {
        return address / 0x1000;
    }
    if (address < 0x80000) {
        return 16 + (address - 0x10000) / 0x8000;
    }
    return kSectorCount;
}
