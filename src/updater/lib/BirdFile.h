// A BIRD firmware image: a 6-byte header and one zlib stream holding address-tagged blocks, the
// serial-number and descriptor offsets and a text descriptor (version, serial number, model).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

enum BirdBlockType : uint8_t {
    BIRD_BLOCK_LOADER = 0,       // 4-byte load address, then the boot-loader image
    BIRD_BLOCK_FIRMWARE = 1,     // 4-byte load address, then the firmware image
    BIRD_BLOCK_OFFSETS = 2,      // serial-number offset, descriptor offset (image addresses)
    BIRD_BLOCK_INFO = 4,         // four 16-character space-padded text fields
    BIRD_BLOCK_LOADER_START = 5, // 4-byte start address of the boot loader
};

inline constexpr uint32_t BIRD_MAGIC = 0x62697264; // "bird"
inline constexpr size_t BIRD_HEADER_SIZE = 6;
inline constexpr size_t BIRD_INFO_FIELD_SIZE = 16;
inline constexpr size_t BIRD_INFO_FIELDS = 4;

// No module's firmware comes near this: a block image larger than it is refused while it is being
// decompressed, so no BIRD file, however it was made, can make a reader take much more memory
// than this. The environment variable names another limit, in MiB (1 to 4095), for a module that
// does need more.
inline constexpr uint64_t kBirdImageLimitDefault = uint64_t{64} << 20;
inline constexpr const char* kBirdImageLimitVariable = "CORVANE_BIRD_IMAGE_LIMIT_MIB";

// The image limit in force. False, with the reason in error, when the variable holds anything but
// a whole number in range; limit is then the default.
bool birdImageLimit(uint64_t& limit, std::string& error);
// The largest BIRD file whose zlib stream can hold an image within imageLimit: no deflate encoder
// needs more than 9 bits for a byte, so a bigger file either decompresses past the limit or
// carries bytes after its stream that nothing reads.
uint64_t birdFileSizeLimit(uint64_t imageLimit);

// Thrown by the loads when the image exceeds the limit or the limit's variable is not valid; the
// text says which and how to raise the limit.
class BirdImageLimitError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One block record of the image. data points into the owning BirdFile's image, so a descriptor
// is valid only while that BirdFile lives (moving the BirdFile keeps it valid).
struct BirdBlock {
    uint8_t type = 0;              // 0 to 31
    uint8_t flags = 0;             // 0 to 7, passed unchanged to the module for types 0 and 1
    uint32_t length = 0;           // payload bytes
    uint32_t address = 0;          // types 0 and 1: the big-endian first 4 payload bytes; else 0
    const uint8_t* data = nullptr; // first payload byte (types 0 and 1: the address; the image
                                   // bytes follow, length - 4 of them; length is always >= 4)
};

class BirdImageInflater; // BirdInflate.h: decompresses a body into one image buffer

class BirdFile {
  public:
    // An empty image standing for "none yet": no file name, no blocks.
    BirdFile() = default;
    // Loads filename (which must not be empty). Throws std::runtime_error
    // "Failed to load bird data" when the file cannot be read or decompressed; the debug trace
    // (DEBUG_BirdFile) says which step failed. An image above the limit (birdImageLimit) throws
    // BirdImageLimitError instead. A block walk that does not match the block count
    // or the image size is logged only: the blocks before the fault are kept.
    explicit BirdFile(const std::string& filename);

    // Moving keeps every descriptor valid (the image buffer moves with it) and leaves the source
    // empty.
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Decodes a BIRD file already in memory (name is only reported), as the constructor does
    // after reading the file; the same exception on failure.
    static BirdFile fromMemory(const std::string& name, const uint8_t* bytes, size_t size);

    // Quick check without loading: the first 6 bytes are "bird" and two non-zero header bytes.
    // Only regular files are opened; anything else is refused with a trace line.
    static bool isBirdFile(const std::string& path);
    // version() of the file at path without keeping its image: the stream is decompressed
    // through small buffers up to the first info block only. True when the file passes
    // isBirdFile and its stream reaches an info block (version set) or ends cleanly without one
    // (version empty); false when it breaks first or grows past the image limit before it. A
    // break after the info block goes unseen.
    static bool readVersion(const std::string& path, std::string& version);

    uint32_t blockCount() const { return blockCount_; }
    bool hasOffsets() const { return hasOffsets_; }
    uint32_t checksum() const { return checksum_; }
    const std::string& filename() const { return filename_; }

    // Copies of the descriptors of one type, in file order.
    std::vector<BirdBlock> blocksOfType(uint8_t type) const;
    // Info field 1 up to its first space (or NUL); empty without an info block.
    std::string version() const;
    // The first 8 characters of info field 2 read as hexadecimal up to the first non-hex
    // character; 0 without an info block.
    uint32_t infoSerialNumber() const;
    bool serialNumberMatches(uint32_t serial) const { return serial == infoSerialNumber(); }
    // Info field 3 up to its first NUL, trailing spaces removed; empty without an info block.
    std::string model() const;
    // True when model() begins with modelName (an empty name always matches); false without an
    // info block.
    bool modelMatches(const std::string& modelName) const;
    // Writes serial into the image in memory: little-endian at the serial-number offset and as
    // the low bytes of UTF-16 text at the descriptor offset, only where those lie inside a
    // firmware block. True when at least one of the two was written.
    bool updateSerialNumber(uint32_t serial);

    // Everything else the file holds, for reports such as "Updater -C".
    uint32_t magic() const { return magic_; }
    uint16_t header() const { return header_; } // byte 4 high, byte 5 low
    const std::vector<BirdBlock>& blocks() const { return blocks_; }
    uint32_t serialNumberOffset() const { return serialOffset_; }
    uint32_t descriptorOffset() const { return descriptorOffset_; }
    uint32_t imageLength() const { return imageLength_; }
    // The decompressed block image (count, records, checksum); null when nothing is loaded.
    const uint8_t* image() const { return image_.get(); }
    // The block count the image announces, the bytes the walk left over besides the checksum
    // (negative when records ate into it), and whether count and size both matched.
    uint32_t reportedBlockCount() const { return reportedBlockCount_; }
    int64_t leftoverBytes() const { return leftoverBytes_; }
    bool parseMatched() const { return parseMatched_; }
    bool hasInfo() const { return infoIndex_ < blocks_.size(); }
    // Info field index (0 to 3) as its raw bytes (at most 16; fewer when the block is short).
    std::string infoField(size_t index) const;

  private:
    // The image lives in malloc'd memory so that growing it can remap rather than copy.
    struct FreeBytes {
        void operator()(uint8_t* bytes) const noexcept;
    };
    using ImageBuffer = std::unique_ptr<uint8_t, FreeBytes>;

    bool load();
    bool decode(const uint8_t* bytes, size_t size);
    void readHeader(const uint8_t* bytes, size_t size);
    // The limit for a body of bodySize bytes: 8 times the body, but never above the image limit;
    // false (with refusal_ set) when the limit's variable is not valid.
    bool limitFor(uint64_t bodySize, uint64_t& limit, bool& capped);
    bool takeImage(BirdImageInflater& inflater);
    // Throws what a failed load throws: the limit's refusal when there is one.
    [[noreturn]] void throwLoadFailure() const;
    bool parseImage();
    void readOffsets();
    void clear() noexcept;
    // Field index of the info block as text: the raw bytes up to the first NUL.
    std::string infoText(size_t index) const;

    std::string filename_;
    uint32_t magic_ = 0;
    uint16_t header_ = 0;
    uint32_t checksum_ = 0;
    uint32_t blockCount_ = 0;
    std::vector<BirdBlock> blocks_;
    bool hasOffsets_ = false;
    uint32_t serialOffset_ = 0;
    uint32_t descriptorOffset_ = 0;
    ImageBuffer image_; // the decompressed block image the descriptors point into
    uint32_t imageLength_ = 0;
    std::string refusal_; // why a load failed on the image limit; empty otherwise

    uint32_t reportedBlockCount_ = 0;
    int64_t leftoverBytes_ = 0;
    bool parseMatched_ = false;
    size_t infoIndex_ = SIZE_MAX; // the first info block in blocks_, SIZE_MAX when none
};
