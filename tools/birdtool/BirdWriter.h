// Builds BIRD firmware images: blocks in the order they are added, a block count, a CRC-32
// checksum, all compressed into one zlib stream behind the 6-byte header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The checksum birdtool writes: CRC-32 (zlib's crc32) over every image byte before it, that is
// the block count and all block records.
uint32_t birdChecksum(const uint8_t* data, size_t length);

// Wraps an already built block image (possibly a deliberately broken one) into file bytes:
// "bird", the two header bytes and the zlib stream of image.
std::vector<uint8_t> wrapBirdImage(const std::vector<uint8_t>& image, uint8_t headerByte4 = 1,
                                   uint8_t headerByte5 = 1, int level = 9);

class BirdWriter {
  public:
    // Header bytes 4 and 5 (both must be non-zero for readers to accept the file); default 1, 1.
    void setHeader(uint8_t byte4, uint8_t byte5);

    // Loader and firmware blocks: the 4-byte big-endian load address, then the image.
    // flags are the block's three flag bits (0 to 7); std::invalid_argument otherwise.
    void addLoader(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags = 0);
    void addFirmware(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags = 0);
    // Sets the flag bits of the last loader or firmware block; std::logic_error without one.
    void setLastFlags(uint8_t flags);
    void addOffsets(uint32_t serialOffset, uint32_t descriptorOffset);
    void addLoaderStart(uint32_t address);
    // One of the four 16-character info fields (0 free text, 1 version, 2 serial number,
    // 3 model), space-padded. The info block is placed where the first field is set.
    // std::invalid_argument for a field index above 3 or a text longer than 16 bytes.
    void setInfoField(size_t field, const std::string& text);
    // Any block: type 0 to 31, flags 0 to 7, payload as given.
    void addBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload);
    // Writes this value instead of the computed checksum.
    void overrideChecksum(uint32_t checksum);

    size_t blockCount() const { return blocks_.size(); }
    // The uncompressed block image: count, records, checksum.
    std::vector<uint8_t> blockImage() const;
    // The complete file. An image that would compress better than 8:1 (more than readers
    // decompress) is stored uncompressed inside the zlib stream instead.
    std::vector<uint8_t> fileBytes(int level = 9) const;
    // Writes the file; false with a reason in error when it cannot.
    bool writeFile(const std::string& path, std::string& error, int level = 9) const;

  private:
    struct Block {
        uint8_t type;
        uint8_t flags;
        std::vector<uint8_t> payload;
    };
    std::vector<Block> blocks_;
    size_t infoIndex_ = SIZE_MAX;
    uint8_t header4_ = 1;
    uint8_t header5_ = 1;
    bool checksumOverridden_ = false;
    uint32_t checksum_ = 0;
};
