// Decompression of a BIRD body, kept apart from the block walk: the whole image into one buffer
// for a load, or the first bytes through small buffers for the version-only walk.
#pragma once

#include "BirdRecord.h"
#include "RegularFile.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// A decompressed image may be at most this many times the size of the compressed body.
inline constexpr uint64_t kBirdInflateFactor = 8;

// The largest block image a compressed body of bodySize bytes may decompress to: 8 times the
// body, and never more than the image limit (cap). Both the full load and the version walk stop
// there, and the image buffer never grows past it, so it is what bounds the memory a hostile file
// can make a load take.
inline uint64_t birdInflateLimit(uint64_t bodySize, uint64_t cap) {
    return bodySize > cap / kBirdInflateFactor ? cap : bodySize * kBirdInflateFactor;
}

// Pulls the decompressed bytes of the zlib stream that follows a BIRD header through small
// fixed buffers, so nothing of the image is kept.
class BirdInflatingReader {
  public:
    BirdInflatingReader(RegularFile& file, uint64_t outputLimit);
    ~BirdInflatingReader() { inflateEnd(&stream_); }
    BirdInflatingReader(const BirdInflatingReader&) = delete;
    BirdInflatingReader& operator=(const BirdInflatingReader&) = delete;

    // Exactly count bytes into out; false when the stream ends before, breaks, or grows past the
    // limit.
    bool read(uint8_t* out, size_t count);
    // Passes over count bytes, with what read would say of them.
    bool skip(uint64_t count);
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

// Decompresses a BIRD body, fed in pieces, into one image buffer. The buffer is sized from the
// record lengths as they come out of the stream, so an honest image lands in a buffer of about
// its final size, sized once while it holds only a few bytes. A buffer of the limit (8 times the
// body) is large enough that the allocator maps it afresh for every load, and every page the image
// touches faults in again. The lengths are only a guess: the stream decides what the image holds,
// growth is geometric once the guess is used up, and nothing grows past the limit. The results
// are zlib's, as its one-shot uncompress into a buffer of the limit would report them. capped says
// that the limit is the image limit rather than 8 times the body, so that running into it is a
// refusal of its own.
class BirdImageInflater {
  public:
    BirdImageInflater(uint64_t limit, bool capped);
    ~BirdImageInflater();
    BirdImageInflater(const BirdImageInflater&) = delete;
    BirdImageInflater& operator=(const BirdImageInflater&) = delete;

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
    // Hands the decompressed image over, once finish() said Z_STREAM_END: malloc'd memory, for
    // std::free.
    uint8_t* release(uint32_t& length) {
        length = static_cast<uint32_t>(filled_);
        return image_.release();
    }

  private:
    // Headroom past the last announced record, so the small records that usually follow a large
    // image (offsets, info, loader start) fit without growing it again.
    static constexpr uint64_t kHeadroom = 4096;

    // The image is malloc'd so that growing it can remap its pages rather than copy them.
    struct FreeBytes {
        void operator()(uint8_t* bytes) const noexcept { std::free(bytes); }
    };

    void walkRecords();
    bool grow();

    uint64_t limit_;
    bool capped_;
    z_stream stream_{};
    bool started_ = false;
    int status_ = Z_OK;
    bool outOfMemory_ = false;
    std::unique_ptr<uint8_t, FreeBytes> image_;
    uint64_t capacity_ = 0;
    uint64_t filled_ = 0;
    // The record walk that predicts the size: the announced count once known, the records seen,
    // where the next record header begins, and the image size the records seen so far imply.
    bool countKnown_ = false;
    uint32_t count_ = 0;
    uint32_t seen_ = 0;
    uint64_t nextRecord_ = kBirdCountSize;
    uint64_t expected_ = kBirdCountSize + BirdRecordHeader::kSize;
};
