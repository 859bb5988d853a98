// Reads BIRD firmware images: the file in one pass of fixed-size reads, decompressed as it arrives
// into one image buffer, and a block walk that checks every length against the image before
// touching the bytes it announces.
#include "BirdFile.h"

#include "Debug.h"
#include "RegularFile.h"

#include <corvane/aFile.h>

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace {

// A decompressed image may be at most this many times the size of the compressed body.
constexpr uint64_t kInflateFactor = 8;
constexpr size_t kRecordHeaderSize = 5; // type-and-flags byte, 4-byte length
// A load reads the file in pieces of this size, small enough to stay in the cache while zlib
// takes them.
constexpr size_t kReadPiece = 64 * 1024;

// The largest block image a compressed body of bodySize bytes may decompress to: 8 times the
// body, and never more than the image limit (cap). Both the full load and the version walk stop
// there, and the image buffer never grows past it, so it is what bounds the memory a hostile file
// can make a load take.
uint64_t imageLimit(uint64_t bodySize, uint64_t cap) {
    return bodySize > cap / kInflateFactor ? cap : bodySize * kInflateFactor;
}

// The image length is a 32-bit quantity.
constexpr uint64_t kLargestLimitMiB = UINT32_MAX >> 20;

uint32_t readBigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t readLittleEndian32(const uint8_t* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

void writeLittleEndian32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

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

// Pulls the decompressed bytes of the zlib stream that follows a BIRD header through small
// fixed buffers, so nothing of the image is kept.
class InflatingReader {
  public:
    InflatingReader(RegularFile& file, uint64_t outputLimit)
        : file_(file), outputLimit_(outputLimit) {
        ok_ = inflateInit(&stream_) == Z_OK;
    }
    ~InflatingReader() { inflateEnd(&stream_); }
    InflatingReader(const InflatingReader&) = delete;
    InflatingReader& operator=(const InflatingReader&) = delete;

    // Exactly count bytes into out; false when the stream ends before, breaks, or grows past the
    // limit.
    bool read(uint8_t* out, size_t count) {
        stream_.next_out = out;
        stream_.avail_out = static_cast<uInt>(count);
        while (ok_ && stream_.avail_out > 0) {
            if (ended_) {
                return false;
            }
            if (stream_.avail_in == 0) {
                size_t got = 0;
                if (file_.read(input_, sizeof input_, got) != aErrNone || got == 0) {
                    ok_ = false;
                    break;
                }
                stream_.next_in = input_;
                stream_.avail_in = static_cast<uInt>(got);
            }
            const int z = inflate(&stream_, Z_NO_FLUSH);
            ended_ = z == Z_STREAM_END;
            ok_ = (z == Z_OK || ended_) && stream_.total_out <= outputLimit_;
        }
        return ok_ && stream_.avail_out == 0;
    }
    bool skip(uint64_t count) {
        uint8_t scratch[kChunk];
        while (count > 0) {
            const size_t step = static_cast<size_t>(std::min<uint64_t>(count, sizeof scratch));
            if (!read(scratch, step)) {
                return false;
            }
            count -= step;
        }
        return true;
    }
    // The stream came to its proper end with nothing broken.
    bool endedCleanly() const { return ended_ && ok_; }

  private:
    static constexpr size_t kChunk = 64 * 1024;
    RegularFile& file_;
    uint64_t outputLimit_;
    z_stream stream_{};
    uint8_t input_[kChunk];
    bool ok_ = false;
    bool ended_ = false;
};

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

// Decompresses a BIRD body, fed in pieces, into one image buffer. The buffer is sized from the
// record lengths as they come out of the stream, so an honest image lands in a buffer of about
// its final size, sized once while it holds only a few bytes. A buffer of the limit (8 times the
// body) is large enough that the allocator maps it afresh for every load, and every page the image
// touches faults in again. The lengths are only a guess: the stream decides what the image holds,
// growth is geometric once the guess is used up, and nothing grows past the limit. The results
// are zlib's, as its one-shot uncompress into a buffer of the limit would report them. capped says
// that the limit is the image limit rather than 8 times the body, so that running into it is a
// refusal of its own.
class BirdFile::ImageInflater {
  public:
    ImageInflater(uint64_t limit, bool capped) : limit_(limit), capped_(capped) {
        status_ = inflateInit(&stream_);
        started_ = status_ == Z_OK;
    }
    ~ImageInflater() {
        if (started_) {
            inflateEnd(&stream_);
        }
    }
    ImageInflater(const ImageInflater&) = delete;
    ImageInflater& operator=(const ImageInflater&) = delete;

    // Decompresses the next piece of the body. Z_OK while the stream wants more, Z_STREAM_END once
    // it is complete (whatever follows it is ignored), otherwise the error, which sticks.
    int feed(const uint8_t* input, size_t size);
    // The body has ended: Z_STREAM_END when the stream was complete, otherwise why it was not.
    int finish() const {
        if (status_ != Z_OK) {
            return status_;
        }
        // Cut short: a buffer error only when the image had already filled the limit.
        return limit_ > 0 && filled_ == limit_ ? Z_BUF_ERROR : Z_DATA_ERROR;
    }
    bool outOfMemory() const { return outOfMemory_; }
    // The image wanted to grow past the image limit.
    bool overLimit() const { return capped_ && filled_ == limit_ && finish() == Z_BUF_ERROR; }
    uint64_t limit() const { return limit_; }
    // The decompressed image, once finish() said Z_STREAM_END.
    ImageBuffer take(uint32_t& length) {
        length = static_cast<uint32_t>(filled_);
        return std::move(image_);
    }

  private:
    // Headroom past the last announced record, so the small records that usually follow a large
    // image (offsets, info, loader start) fit without growing it again.
    static constexpr uint64_t kHeadroom = 4096;

    void walkRecords();
    bool grow();

    uint64_t limit_;
    bool capped_;
    z_stream stream_{};
    bool started_ = false;
    int status_ = Z_OK;
    bool outOfMemory_ = false;
    ImageBuffer image_;
    uint64_t capacity_ = 0;
    uint64_t filled_ = 0;
    // The record walk that predicts the size: the announced count once known, the records seen,
    // where the next record header begins, and the image size the records seen so far imply.
    bool countKnown_ = false;
    uint32_t count_ = 0;
    uint32_t seen_ = 0;
    uint64_t nextRecord_ = 4;
    uint64_t expected_ = 4 + kRecordHeaderSize;
};

int BirdFile::ImageInflater::feed(const uint8_t* input, size_t size) {
    if (status_ != Z_OK) {
        return status_;
    }
    stream_.next_in = const_cast<Bytef*>(input);
    stream_.avail_in = static_cast<uInt>(size);
    bool wantsRoom = false;
    for (;;) {
        if (filled_ == capacity_ && (wantsRoom || expected_ > capacity_)) {
            if (capacity_ < limit_) {
                if (!grow()) {
                    outOfMemory_ = true;
                    status_ = Z_MEM_ERROR;
                    return status_;
                }
                wantsRoom = false;
            } else if (wantsRoom) {
                status_ = Z_BUF_ERROR; // the image would grow past the limit
                return status_;
            }
        }
        stream_.next_out = image_.get() + filled_;
        stream_.avail_out = static_cast<uInt>(capacity_ - filled_);
        const int z = inflate(&stream_, Z_NO_FLUSH);
        filled_ = capacity_ - stream_.avail_out;
        walkRecords();
        if (z == Z_STREAM_END) {
            status_ = Z_STREAM_END;
            return status_;
        }
        if (z == Z_NEED_DICT) {
            status_ = Z_DATA_ERROR;
            return status_;
        }
        if (z != Z_OK && z != Z_BUF_ERROR) {
            status_ = z;
            return status_;
        }
        if (stream_.avail_in == 0) {
            return Z_OK; // a full buffer may only lack the trailer, which is still to come
        }
        if (stream_.avail_out > 0) {
            // zlib stops with input left only when the buffer is full; anything else would turn
            // this loop forever, so it counts as a broken stream.
            status_ = Z_DATA_ERROR;
            return status_;
        }
        // Nothing moved at all: the stream needs more room. Otherwise another call settles
        // whether it merely had its trailer left.
        wantsRoom = z == Z_BUF_ERROR;
    }
}

void BirdFile::ImageInflater::walkRecords() {
    const uint8_t* image = image_.get();
    if (!countKnown_) {
        if (filled_ < 4) {
            return;
        }
        count_ = readBigEndian32(image);
        countKnown_ = true;
    }
    // nextRecord_ never passes filled_ + 5 + 2^32, so it cannot wrap.
    while (seen_ < count_ && nextRecord_ + kRecordHeaderSize <= filled_) {
        nextRecord_ += kRecordHeaderSize + readBigEndian32(image + nextRecord_ + 1);
        ++seen_;
    }
    // The next record's header, or the checksum after the last record.
    expected_ = nextRecord_ + (seen_ < count_ ? kRecordHeaderSize : 4);
}

bool BirdFile::ImageInflater::grow() {
    const uint64_t wanted = std::max(expected_, capacity_ + capacity_ / 2) + kHeadroom;
    const uint64_t capacity = std::min(wanted, limit_);
    // realloc moves a large buffer by remapping its pages, so the old and the new buffer never
    // both hold the image: a file whose records lie about their lengths grows it step by step up
    // to the limit, and peak memory stays at about the limit. The new part is left uninitialised
    // on purpose: pages zlib never writes are never touched.
    void* image = std::realloc(image_.get(), capacity);
    if (image == nullptr) {
        return false;
    }
    (void)image_.release(); // realloc has taken the old buffer over
    image_.reset(static_cast<uint8_t*>(image));
    capacity_ = capacity;
    return true;
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
        readBigEndian32(header) != BIRD_MAGIC || header[4] == 0 || header[5] == 0) {
        return false;
    }
    // The full load refuses an image above this, so the walk does too.
    uint64_t cap = 0;
    std::string error;
    if (!birdImageLimit(cap, error)) {
        Debug_Print(DEBUG_BirdFile, "BIRDFILE: Error - %s\n", error.c_str());
        return false;
    }
    const uint64_t limit = imageLimit(file.size() - BIRD_HEADER_SIZE, cap);
    const auto reader = std::make_unique<InflatingReader>(file, limit);
    uint8_t count[4];
    if (!reader->read(count, sizeof count)) {
        return false;
    }
    for (;;) {
        uint8_t record[kRecordHeaderSize];
        if (!reader->read(record, sizeof record)) {
            return reader->endedCleanly(); // the checksum alone is left: no info block
        }
        const uint8_t type = record[0] & 0x1F;
        const uint32_t length = readBigEndian32(record + 1);
        if ((type == BIRD_BLOCK_LOADER || type == BIRD_BLOCK_FIRMWARE) && length < 4) {
            return true; // the full walk ends here too, before any info block
        }
        if (type != BIRD_BLOCK_INFO) {
            if (!reader->skip(length)) {
                return reader->endedCleanly();
            }
            continue;
        }
        // Field 1 (bytes 16 to 31) up to its first NUL or space, as version() reads it.
        uint8_t fields[2 * BIRD_INFO_FIELD_SIZE];
        const size_t wanted = std::min<size_t>(length, sizeof fields);
        if (!reader->read(fields, wanted)) {
            return reader->endedCleanly();
        }
        if (wanted > BIRD_INFO_FIELD_SIZE) {
            version.assign(reinterpret_cast<const char*>(fields) + BIRD_INFO_FIELD_SIZE,
                           wanted - BIRD_INFO_FIELD_SIZE);
            const size_t end = std::min(version.find('\0'), version.find(' '));
            if (end != std::string::npos) {
                version.resize(end);
            }
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
    return readBigEndian32(header) == BIRD_MAGIC && header[4] != 0 && header[5] != 0;
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
    if (fileSize > BIRD_HEADER_SIZE + UINT32_MAX / kInflateFactor) {
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
    ImageInflater inflater(limit, capped);
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
    if (size > BIRD_HEADER_SIZE + UINT32_MAX / kInflateFactor) {
        throw std::runtime_error("Failed to load bird data");
    }
    if (!bird.decode(bytes, size)) {
        bird.throwLoadFailure();
    }
    return bird;
}

void BirdFile::readHeader(const uint8_t* bytes, size_t size) {
    if (size > BIRD_HEADER_SIZE) {
        magic_ = readBigEndian32(bytes);
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
    ImageInflater inflater(limit, capped);
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
    limit = imageLimit(bodySize, cap);
    capped = bodySize > cap / kInflateFactor;
    return true;
}

bool BirdFile::takeImage(ImageInflater& inflater) {
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
    image_ = inflater.take(imageLength_);

    parseMatched_ = parseImage();
    readOffsets();
    return true;
}

bool BirdFile::parseImage() {
    const uint8_t* image = image_.get();
    const size_t length = imageLength_;
    size_t pos = 0;
    reportedBlockCount_ = 0;
    if (length >= 4) {
        reportedBlockCount_ = readBigEndian32(image);
        pos = 4;
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
    while (remaining > 4 && pos < length) {
        const uint8_t typeAndFlags = image[pos];
        const uint32_t n = readBigEndian32(image + pos + 1);
        const size_t payload = pos + kRecordHeaderSize;
        if (n > length - payload) {
            Debug_Print(DEBUG_BirdFile,
                        "BIRDFILE: Block at offset %zu announces %u bytes, past the end of the "
                        "image (%zu bytes)\n",
                        pos, n, length);
            break;
        }
        BirdBlock block;
        block.type = typeAndFlags & 0x1F;
        block.flags = (typeAndFlags >> 5) & 0x07;
        block.length = n;
        block.data = image + payload;
        if (block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) {
            // Loaders take the image as data + 4, length - 4: a shorter record has no image.
            if (n < 4) {
                Debug_Print(DEBUG_BirdFile,
                            "BIRDFILE: Block at offset %zu is too short (%u bytes) for its load "
                            "address\n",
                            pos, n);
                break;
            }
            block.address = readBigEndian32(block.data);
        }
        Debug_Print(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                    static_cast<int>(n));
        blocks_.push_back(block);
        if (block.type == BIRD_BLOCK_INFO) {
            if (infoIndex_ == SIZE_MAX) {
                infoIndex_ = blocks_.size() - 1;
            }
            for (size_t field = 0; field < BIRD_INFO_FIELDS; ++field) {
                const size_t start = field * BIRD_INFO_FIELD_SIZE;
                const size_t end = std::min<size_t>(n, start + BIRD_INFO_FIELD_SIZE);
                std::string text;
                if (start < end) {
                    text.assign(reinterpret_cast<const char*>(block.data) + start, end - start);
                }
                Debug_Print(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", text.c_str());
            }
        }
        pos = payload + n;
        remaining -= static_cast<int64_t>(kRecordHeaderSize) + n;
    }
    blockCount_ = static_cast<uint32_t>(blocks_.size());

    checksum_ = 0;
    if (pos <= length && length - pos >= 4) {
        checksum_ = readBigEndian32(image + pos);
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

void BirdFile::readOffsets() {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BIRD_BLOCK_OFFSETS) {
            continue;
        }
        // A short offsets block leaves the missing offset at 0, which means "absent".
        serialOffset_ = block.length >= 4 ? readBigEndian32(block.data) : 0;
        descriptorOffset_ = block.length >= 8 ? readBigEndian32(block.data + 4) : 0;
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
    std::string text = infoText(1);
    const size_t space = text.find(' ');
    if (space != std::string::npos) {
        text.resize(space);
    }
    return text;
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
