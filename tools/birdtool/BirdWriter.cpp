// BIRD image writer for birdtool, the tests and the tools that serve or accept firmware.
#include "BirdWriter.h"

#include "BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

constexpr uint8_t kTypeLoader = BIRD_BLOCK_LOADER;
constexpr uint8_t kTypeFirmware = BIRD_BLOCK_FIRMWARE;
constexpr uint8_t kTypeOffsets = BIRD_BLOCK_OFFSETS;
constexpr uint8_t kTypeInfo = BIRD_BLOCK_INFO;
constexpr uint8_t kTypeLoaderStart = BIRD_BLOCK_LOADER_START;
constexpr size_t kInfoFieldSize = BIRD_INFO_FIELD_SIZE;
constexpr size_t kHeaderSize = BIRD_HEADER_SIZE;
// Readers decompress into a buffer 8 times the compressed body, no larger.
constexpr uint64_t kReaderInflateFactor = 8;

void putBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

std::vector<uint8_t> addressed(uint32_t address, const std::vector<uint8_t>& image) {
    std::vector<uint8_t> payload;
    payload.reserve(image.size() + 4);
    putBigEndian32(payload, address);
    payload.insert(payload.end(), image.begin(), image.end());
    return payload;
}

void checkFlags(uint8_t flags) {
    if (flags > 7) {
        throw std::invalid_argument("block flags must be 0 to 7");
    }
}

} // namespace

uint32_t birdChecksum(const uint8_t* data, size_t length) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // crc32 takes a 32-bit length; feed large images in slices.
    while (length > 0) {
        const uInt slice = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
        crc = crc32(crc, data, slice);
        data += slice;
        length -= slice;
    }
    return static_cast<uint32_t>(crc);
}

std::vector<uint8_t> wrapBirdImage(const std::vector<uint8_t>& image, uint8_t headerByte4,
                                   uint8_t headerByte5, int level) {
    uLongf compressedLength = compressBound(static_cast<uLong>(image.size()));
    std::vector<uint8_t> file(kHeaderSize + compressedLength);
    file[0] = 'b';
    file[1] = 'i';
    file[2] = 'r';
    file[3] = 'd';
    file[4] = headerByte4;
    file[5] = headerByte5;
    const int z = compress2(file.data() + kHeaderSize, &compressedLength, image.data(),
                            static_cast<uLong>(image.size()), level);
    if (z != Z_OK) {
        throw std::runtime_error("zlib compress2 failed (" + std::to_string(z) + ")");
    }
    file.resize(kHeaderSize + compressedLength);
    return file;
}

void BirdWriter::setHeader(uint8_t byte4, uint8_t byte5) {
    header4_ = byte4;
    header5_ = byte5;
}

void BirdWriter::addLoader(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags) {
    addBlock(kTypeLoader, flags, addressed(address, image));
}

void BirdWriter::addFirmware(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags) {
    addBlock(kTypeFirmware, flags, addressed(address, image));
}

void BirdWriter::setLastFlags(uint8_t flags) {
    checkFlags(flags);
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
        if (it->type == kTypeLoader || it->type == kTypeFirmware) {
            it->flags = flags;
            return;
        }
    }
    throw std::logic_error("flags need a loader or firmware block before them");
}

void BirdWriter::addOffsets(uint32_t serialOffset, uint32_t descriptorOffset) {
    std::vector<uint8_t> payload;
    putBigEndian32(payload, serialOffset);
    putBigEndian32(payload, descriptorOffset);
    addBlock(kTypeOffsets, 0, payload);
}

void BirdWriter::addLoaderStart(uint32_t address) {
    std::vector<uint8_t> payload;
    putBigEndian32(payload, address);
    addBlock(kTypeLoaderStart, 0, payload);
}

void BirdWriter::setInfoField(size_t field, const std::string& text) {
    if (field > 3) {
        throw std::invalid_argument("info field index must be 0 to 3");
    }
    if (text.size() > kInfoFieldSize) {
        throw std::invalid_argument("info field \"" + text + "\" is longer than 16 characters");
    }
    if (infoIndex_ == SIZE_MAX) {
        addBlock(kTypeInfo, 0, std::vector<uint8_t>(4 * kInfoFieldSize, ' '));
        infoIndex_ = blocks_.size() - 1;
    }
    std::vector<uint8_t>& payload = blocks_[infoIndex_].payload;
    const size_t start = field * kInfoFieldSize;
    std::fill(payload.begin() + static_cast<long>(start),
              payload.begin() + static_cast<long>(start + kInfoFieldSize), ' ');
    std::copy(text.begin(), text.end(), payload.begin() + static_cast<long>(start));
}

void BirdWriter::addBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload) {
    if (type > 31) {
        throw std::invalid_argument("block type must be 0 to 31");
    }
    checkFlags(flags);
    if (payload.size() > UINT32_MAX) {
        throw std::invalid_argument("block payload larger than 4 GiB");
    }
    blocks_.push_back(Block{type, flags, payload});
}

void BirdWriter::overrideChecksum(uint32_t checksum) {
    checksumOverridden_ = true;
    checksum_ = checksum;
}

std::vector<uint8_t> BirdWriter::blockImage() const {
    size_t total = 8;
    for (const Block& block : blocks_) {
        total += 5 + block.payload.size();
    }
    std::vector<uint8_t> image;
    image.reserve(total);
    putBigEndian32(image, static_cast<uint32_t>(blocks_.size()));
    for (const Block& block : blocks_) {
        image.push_back(static_cast<uint8_t>(block.type | (block.flags << 5)));
        putBigEndian32(image, static_cast<uint32_t>(block.payload.size()));
        image.insert(image.end(), block.payload.begin(), block.payload.end());
    }
    putBigEndian32(image,
                   checksumOverridden_ ? checksum_ : birdChecksum(image.data(), image.size()));
    return image;
}

std::vector<uint8_t> BirdWriter::fileBytes(int level) const {
    const std::vector<uint8_t> image = blockImage();
    std::vector<uint8_t> file = wrapBirdImage(image, header4_, header5_, level);
    // Long runs of erased flash compress far better than 8:1; such an image is stored instead
    // (a stored stream is never smaller than its image), so every reader can still load it.
    if (image.size() > kReaderInflateFactor * (file.size() - kHeaderSize)) {
        file = wrapBirdImage(image, header4_, header5_, Z_NO_COMPRESSION);
    }
    return file;
}

bool BirdWriter::writeFile(const std::string& path, std::string& error, int level) const {
    std::vector<uint8_t> bytes;
    try {
        bytes = fileBytes(level);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "wb"), fclose);
    if (!file) {
        error = "cannot create " + path;
        return false;
    }
    if (fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        fflush(file.get()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    if (fclose(file.release()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
