// What a loaded BIRD image says about itself: the info block's text fields, the serial-number and
// descriptor offsets, and the serial-number rewrite that uses them.
#include "BirdFile.h"

#include "BirdRecord.h"
#include "Debug.h"

#include <algorithm>
#include <cstdio>

namespace {

uint32_t readLittleEndian32(const uint8_t* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

void writeLittleEndian32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

} // namespace

void BirdFile::readOffsets() {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BIRD_BLOCK_OFFSETS) {
            continue;
        }
        // A short offsets block leaves the missing offset at 0, which means "absent".
        serialOffset_ = block.length >= 4 ? birdBigEndian32(block.data) : 0;
        descriptorOffset_ = block.length >= 8 ? birdBigEndian32(block.data + 4) : 0;
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                    static_cast<int>(serialOffset_), static_cast<int>(descriptorOffset_));
        hasOffsets_ = true;
        return;
    }
}

std::vector<BirdBlock> BirdFile::blocksOfType(uint8_t type) const {
    std::vector<BirdBlock> result;
    for (const BirdBlock& block : blocks_) {
        if (block.type == type) {
            result.push_back(block);
        }
    }
    return result;
}

std::string BirdFile::infoField(size_t index) const {
    if (!hasInfo() || index >= BIRD_INFO_FIELDS) {
        return {};
    }
    const BirdBlock& info = blocks_[infoIndex_];
    const size_t start = index * BIRD_INFO_FIELD_SIZE;
    if (start >= info.length) {
        return {};
    }
    const size_t count = std::min<size_t>(BIRD_INFO_FIELD_SIZE, info.length - start);
    return std::string(reinterpret_cast<const char*>(info.data) + start, count);
}

std::string BirdFile::infoText(size_t index) const {
    std::string text = infoField(index);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        text.resize(nul);
    }
    return text;
}

std::string BirdFile::version() const {
    const std::string field = infoField(1);
    return birdVersionText(field.data(), field.size());
}

uint32_t BirdFile::infoSerialNumber() const {
    const std::string text = infoText(2);
    uint32_t value = 0;
    for (size_t i = 0; i < text.size() && i < 8; ++i) {
        const char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else {
            break;
        }
        value = (value << 4) | digit;
    }
    return value;
}

std::string BirdFile::model() const {
    std::string field = infoText(3);
    const size_t last = field.find_last_not_of(' ');
    field.resize(last == std::string::npos ? 0 : last + 1);
    return field;
}

bool BirdFile::modelMatches(const std::string& modelName) const {
    if (!hasInfo()) {
        return false;
    }
    const std::string field = model();
    if (field.compare(0, modelName.size(), modelName) != 0) {
        return false;
    }
    Debug_Print(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(),
                modelName.c_str());
    return true;
}

bool BirdFile::updateSerialNumber(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool written = false;
    for (const BirdBlock& block : blocks_) {
        if (block.type != BIRD_BLOCK_FIRMWARE) {
            continue;
        }
        // The image bytes of the block cover addresses [first, end).
        const uint64_t first = block.address;
        const uint64_t end = first + block.length - 4;
        uint8_t* bytes = image_.get() + (block.data - image_.get()) + 4;
        const uint64_t s = serialOffset_;
        if (s != 0 && s >= first && s + 4 <= end) {
            uint8_t* at = bytes + (s - first);
            Debug_Print(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                        readLittleEndian32(at), serial);
            writeLittleEndian32(at, serial);
            written = true;
        }
        const uint64_t d = descriptorOffset_;
        if (d != 0 && d >= first && d + 16 <= end) {
            uint8_t* at = bytes + (d - first);
            for (size_t k = 0; k < 8; ++k) {
                at[2 * k] = static_cast<uint8_t>(text[k]);
            }
            written = true;
        }
    }
    return written;
}
