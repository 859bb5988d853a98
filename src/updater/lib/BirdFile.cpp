// Loads BIRD firmware images: the file in one pass of fixed-size reads, decompressed as it arrives
// into one image buffer (BirdInflate), and a block walk that checks every length against the image
// before touching the bytes it announces.
#include "BirdFile.h"

#include "BirdInflate.h"
#include "BirdRecord.h"
#include "Debug.h"
#include "RegularFile.h"

#include <corvane/aFile.h>

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

namespace {

// A load reads the file in pieces of this size, small enough to stay in the cache while zlib
// takes them.
constexpr size_t kReadPiece = 64 * 1024;

// The image length is a 32-bit quantity.
constexpr uint64_t kLargestLimitMiB = UINT32_MAX >> 20;

// Opens path as a regular file, with the trace lines of a file that cannot be opened.
bool openForReading(RegularFile& file, const std::string& path) {
    const aErr err = file.open(path);
    if (err == aErrMode) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - '%s' is not a regular file\n", path.c_str());
    }
    if (err != aErrNone) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                    path.c_str());
        return false;
    }
    return true;
}

// The four fields of an info block, as far as its payload holds them.
void traceInfoFields(const BirdBlock& info) {
    for (size_t field = 0; field < BIRD_INFO_FIELDS; ++field) {
        const size_t start = field * BIRD_INFO_FIELD_SIZE;
        const size_t end = std::min<size_t>(info.length, start + BIRD_INFO_FIELD_SIZE);
        std::string text;
        if (start < end) {
            text.assign(reinterpret_cast<const char*>(info.data) + start, end - start);
        }
        Debug_Print(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", text.c_str());
    }
}

} // namespace

bool birdImageLimit(uint64_t& limit, std::string& error) {
    limit = kBirdImageLimitDefault;
    const char* text = std::getenv(kBirdImageLimitVariable);
    if (text == nullptr) {
        return true;
    }
    const std::string value = text;
    if (value.empty() || value.size() > 4 ||
        value.find_first_not_of("0123456789") != std::string::npos || std::stoul(value) == 0 ||
        std::stoul(value) > kLargestLimitMiB) {
        error = std::string(kBirdImageLimitVariable) + "=" + value +
                " is not a whole number of MiB from 1 to " + std::to_string(kLargestLimitMiB);
        return false;
    }
    limit = uint64_t{std::stoul(value)} << 20;
    return true;
}

uint64_t birdFileSizeLimit(uint64_t imageLimit) {
    constexpr uint64_t kStreamFraming = 4096; // zlib header, trailer and block headers
    return BIRD_HEADER_SIZE + imageLimit + imageLimit / 8 + kStreamFraming;
}

void BirdFile::FreeBytes::operator()(uint8_t* bytes) const noexcept {
    std::free(bytes);
}

bool BirdFile::readVersion(const std::string& path, std::string& version) {
    version.clear();
    RegularFile file;
    if (!openForReading(file, path)) {
        return false;
    }
    uint8_t header[BIRD_HEADER_SIZE];
    size_t got = 0;
    if (file.read(header, sizeof header, got) != aErrNone || got != sizeof header ||
        birdBigEndian32(header) != BIRD_MAGIC || header[4] == 0 || header[5] == 0) {
        return false;
    }
    // The full load refuses an image above this, so the walk does too.
    uint64_t cap = 0;
    std::string error;
    if (!birdImageLimit(cap, error)) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - %s\n", error.c_str());
        return false;
    }
    const uint64_t limit = birdInflateLimit(file.size() - BIRD_HEADER_SIZE, cap);
    const auto reader = std::make_unique<BirdInflatingReader>(file, limit);
    uint8_t count[kBirdCountSize];
    if (!reader->read(count, sizeof count)) {
        return false;
    }
    for (;;) {
        uint8_t bytes[BirdRecordHeader::kSize];
        BirdRecordHeader record;
        if (!reader->read(bytes, sizeof bytes) || !record.read(bytes, sizeof bytes, 0)) {
            return reader->endedCleanly(); // the checksum alone is left: no info block
        }
        if (record.lacksLoadAddress()) {
            return true; // the full walk ends here too, before any info block
        }
        if (record.type != BIRD_BLOCK_INFO) {
            if (!reader->skip(record.length)) {
                return reader->endedCleanly();
            }
            continue;
        }
        // Fields 0 and 1 are enough: the version is field 1, read as version() reads it.
        uint8_t fields[2 * BIRD_INFO_FIELD_SIZE];
        const size_t wanted = std::min<size_t>(record.length, sizeof fields);
        if (!reader->read(fields, wanted)) {
            return reader->endedCleanly();
        }
        if (wanted > BIRD_INFO_FIELD_SIZE) {
            version = birdVersionText(reinterpret_cast<const char*>(fields) + BIRD_INFO_FIELD_SIZE,
                                      wanted - BIRD_INFO_FIELD_SIZE);
        }
        return true;
    }
}

BirdFile::BirdFile(const std::string& filename) : filename_(filename) {
    assert(this->filename_.length() > 0);
    if (!load()) {
        throwLoadFailure();
    }
}

void BirdFile::throwLoadFailure() const {
    if (!refusal_.empty()) {
        throw BirdImageLimitError(refusal_);
    }
    throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this != &other) {
        filename_ = std::move(other.filename_);
        magic_ = other.magic_;
        header_ = other.header_;
        checksum_ = other.checksum_;
        blockCount_ = other.blockCount_;
        blocks_ = std::move(other.blocks_);
        hasOffsets_ = other.hasOffsets_;
        serialOffset_ = other.serialOffset_;
        descriptorOffset_ = other.descriptorOffset_;
        image_ = std::move(other.image_);
        imageLength_ = other.imageLength_;
        reportedBlockCount_ = other.reportedBlockCount_;
        leftoverBytes_ = other.leftoverBytes_;
        parseMatched_ = other.parseMatched_;
        infoIndex_ = other.infoIndex_;
        refusal_ = std::move(other.refusal_);
        other.clear();
    }
    return *this;
}

void BirdFile::clear() noexcept {
    filename_.clear();
    magic_ = 0;
    header_ = 0;
    checksum_ = 0;
    blockCount_ = 0;
    blocks_.clear();
    hasOffsets_ = false;
    serialOffset_ = 0;
    descriptorOffset_ = 0;
    image_.reset();
    imageLength_ = 0;
    reportedBlockCount_ = 0;
    leftoverBytes_ = 0;
    parseMatched_ = false;
    infoIndex_ = SIZE_MAX;
    refusal_.clear();
}

bool BirdFile::isBirdFile(const std::string& path) {
    RegularFile file;
    if (!openForReading(file, path)) {
        return false;
    }
    uint8_t header[BIRD_HEADER_SIZE];
    size_t got = 0;
    if (file.read(header, sizeof header, got) != aErrNone || got != sizeof header) {
        return false;
    }
    return birdBigEndian32(header) == BIRD_MAGIC && header[4] != 0 && header[5] != 0;
}

bool BirdFile::load() {
    const char* path = filename_.c_str();
    Debug_Print(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    if (!aFile_Exists(path)) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        return false;
    }
    RegularFile file;
    if (!openForReading(file, filename_)) {
        return false;
    }
    const uint64_t fileSize = file.size();
    // The image length is a 32-bit quantity, so a body above 4 GiB / 8 can never be valid.
    if (fileSize > BIRD_HEADER_SIZE + UINT32_MAX / kBirdInflateFactor) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - bird file %s is too large (%llu bytes)\n",
                    path, static_cast<unsigned long long>(fileSize));
        return false;
    }
    const size_t size = static_cast<size_t>(fileSize);

    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kReadPiece]);
    if (!piece) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - no memory to read bird file %s\n", path);
        return false;
    }
    uint64_t limit = 0;
    bool capped = false;
    if (!limitFor(size > BIRD_HEADER_SIZE ? size - BIRD_HEADER_SIZE : 0, limit, capped)) {
        return false;
    }
    BirdImageInflater inflater(limit, capped);
    // The whole file is read even past a broken stream, so a short or failing read is reported
    // as such whatever the bytes before it held.
    size_t done = 0;
    while (done < size) {
        const size_t wanted = std::min(kReadPiece, size - done);
        size_t got = 0;
        const aErr err = file.read(piece.get(), wanted, got);
        if (err != aErrNone) {
            Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err),
                        path);
            return false;
        }
        if (got < wanted) {
            Debug_Print(DEBUG_BirdFile,
                        "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path,
                        done + got, size);
            return false;
        }
        size_t body = 0;
        if (done == 0) {
            readHeader(piece.get(), size);
            body = std::min(size, BIRD_HEADER_SIZE);
        }
        if (got > body) {
            inflater.feed(piece.get() + body, got - body);
        }
        done += got;
    }
    return takeImage(inflater);
}

BirdFile BirdFile::fromMemory(const std::string& name, const uint8_t* bytes, size_t size) {
    BirdFile bird;
    bird.filename_ = name;
    if (bytes == nullptr && size > 0) {
        throw std::runtime_error("Failed to load bird data");
    }
    if (size > BIRD_HEADER_SIZE + UINT32_MAX / kBirdInflateFactor) {
        throw std::runtime_error("Failed to load bird data");
    }
    if (!bird.decode(bytes, size)) {
        bird.throwLoadFailure();
    }
    return bird;
}

void BirdFile::readHeader(const uint8_t* bytes, size_t size) {
    if (size > BIRD_HEADER_SIZE) {
        magic_ = birdBigEndian32(bytes);
        header_ = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    }
}

bool BirdFile::decode(const uint8_t* bytes, size_t size) {
    readHeader(bytes, size);
    const size_t bodySize = size > BIRD_HEADER_SIZE ? size - BIRD_HEADER_SIZE : 0;
    uint64_t limit = 0;
    bool capped = false;
    if (!limitFor(bodySize, limit, capped)) {
        return false;
    }
    BirdImageInflater inflater(limit, capped);
    if (bodySize > 0) {
        inflater.feed(bytes + BIRD_HEADER_SIZE, bodySize);
    }
    return takeImage(inflater);
}

bool BirdFile::limitFor(uint64_t bodySize, uint64_t& limit, bool& capped) {
    uint64_t cap = 0;
    if (!birdImageLimit(cap, refusal_)) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - %s\n", refusal_.c_str());
        return false;
    }
    limit = birdInflateLimit(bodySize, cap);
    capped = bodySize > cap / kBirdInflateFactor;
    return true;
}

bool BirdFile::takeImage(BirdImageInflater& inflater) {
    const int z = inflater.finish();
    if (z != Z_STREAM_END) {
        if (inflater.overLimit()) {
            const unsigned long long mib = inflater.limit() >> 20;
            Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - %s decompresses to more than %llu MiB\n",
                        filename_.c_str(), mib);
            refusal_ = "its image decompresses to more than " + std::to_string(mib) +
                       " MiB, more than any module's firmware; set " + kBirdImageLimitVariable +
                       " to a larger number of MiB to load it";
        } else if (inflater.outOfMemory()) {
            Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - no memory to decompress %s\n",
                        filename_.c_str());
        } else {
            Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        }
        imageLength_ = 0;
        return false;
    }
    image_.reset(inflater.release(imageLength_));

    parseMatched_ = parseImage();
    readOffsets();
    return true;
}

bool BirdFile::parseImage() {
    const uint8_t* image = image_.get();
    const size_t length = imageLength_;
    size_t pos = 0;
    reportedBlockCount_ = 0;
    if (length >= kBirdCountSize) {
        reportedBlockCount_ = birdBigEndian32(image);
        pos = kBirdCountSize;
    } else {
        pos = length;
    }
    Debug_Print(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n",
                static_cast<int>(reportedBlockCount_));
    Debug_Print(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Debug_Print(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    // remaining is always length - pos; it goes below zero only for an image shorter than the
    // block count itself.
    int64_t remaining = static_cast<int64_t>(length) - 4;
    BirdRecordHeader record;
    while (record.read(image, length, pos)) {
        const uint32_t n = record.length;
        if (record.end(pos) > length) {
            Debug_Print(DEBUG_BirdFile,
                        "BIRDFILE: Block at offset %zu announces %u bytes, past the end of the "
                        "image (%zu bytes)\n",
                        pos, n, length);
            break;
        }
        if (record.lacksLoadAddress()) {
            Debug_Print(DEBUG_BirdFile,
                        "BIRDFILE: Block at offset %zu is too short (%u bytes) for its load "
                        "address\n",
                        pos, n);
            break;
        }
        BirdBlock block;
        block.type = record.type;
        block.flags = record.flags;
        block.length = n;
        block.data = image + pos + BirdRecordHeader::kSize;
        if (block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) {
            block.address = birdBigEndian32(block.data);
        }
        Debug_Print(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                    static_cast<int>(n));
        blocks_.push_back(block);
        if (block.type == BIRD_BLOCK_INFO) {
            if (infoIndex_ == SIZE_MAX) {
                infoIndex_ = blocks_.size() - 1;
            }
            traceInfoFields(block);
        }
        pos = static_cast<size_t>(record.end(pos));
        remaining -= static_cast<int64_t>(BirdRecordHeader::kSize) + n;
    }
    blockCount_ = static_cast<uint32_t>(blocks_.size());

    checksum_ = 0;
    if (pos <= length && length - pos >= kBirdChecksumSize) {
        checksum_ = birdBigEndian32(image + pos);
    }
    Debug_Print(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum_);

    bool matched = true;
    leftoverBytes_ = remaining - 4;
    if (remaining - 4 != 0) {
        Debug_Print(DEBUG_BirdFile,
                    "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                    static_cast<int>(remaining - 4));
        matched = false;
    }
    if (blockCount_ != reportedBlockCount_) {
        Debug_Print(DEBUG_BirdFile,
                    "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                    static_cast<int>(blockCount_), static_cast<int>(reportedBlockCount_));
        matched = false;
    }
    return matched;
}
