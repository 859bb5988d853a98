// Decompression of BIRD bodies: a bounded streaming reader for the version walk, and the inflater
// that sizes a load's image buffer from the record lengths as they come out.
#include "BirdInflate.h"

#include <algorithm>
#include <cstdlib>

BirdInflatingReader::BirdInflatingReader(RegularFile& file, uint64_t outputLimit)
    : file_(file), outputLimit_(outputLimit) {
    ok_ = inflateInit(&stream_) == Z_OK;
}

bool BirdInflatingReader::read(uint8_t* out, size_t count) {
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

bool BirdInflatingReader::skip(uint64_t count) {
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

BirdImageInflater::BirdImageInflater(uint64_t limit, bool capped) : limit_(limit), capped_(capped) {
    status_ = inflateInit(&stream_);
    started_ = status_ == Z_OK;
}

BirdImageInflater::~BirdImageInflater() {
    if (started_) {
        inflateEnd(&stream_);
    }
}

int BirdImageInflater::feed(const uint8_t* input, size_t size) {
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

void BirdImageInflater::walkRecords() {
    const uint8_t* image = image_.get();
    if (!countKnown_) {
        if (filled_ < kBirdCountSize) {
            return;
        }
        count_ = birdBigEndian32(image);
        countKnown_ = true;
    }
    // Only the lengths matter here: the full walk judges the records once the image is whole.
    // nextRecord_ never passes filled_ + 5 + 2^32, so it cannot wrap.
    BirdRecordHeader record;
    while (seen_ < count_ && record.read(image, filled_, nextRecord_)) {
        nextRecord_ = record.end(nextRecord_);
        ++seen_;
    }
    // The next record's header, or the checksum after the last record.
    expected_ = nextRecord_ + (seen_ < count_ ? BirdRecordHeader::kSize : kBirdChecksumSize);
}

bool BirdImageInflater::grow() {
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
