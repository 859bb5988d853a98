// Entry logic of the libFuzzer targets, kept here and in the Fuzz*.h headers below so the corpus
// replay tests run exactly the same code. Each returns an empty text, or what went wrong when an
// invariant broke.
#pragma once

#include "AttributeFile.h"
#include "BirdFile.h"
#include "BirdFileReport.h"
#include "FuzzDiscovery.h"
#include "FuzzFastCgiRecords.h"
#include "FuzzImxSdp.h"
#include "FuzzLinkStream.h"
#include "FuzzNxpIsp.h"
#include "FuzzServerReplies.h"
#include "FuzzSharingServer.h"
#include "FuzzUeiReplies.h"
#include "FuzzUpdateServerRequest.h"
#include "FuzzUsbDescriptors.h"

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Drives every reader of a loaded image. A descriptor outside the image, a serial rewrite
// outside a firmware block or a crash are faults; everything else is fine.
inline std::string checkBirdFile(BirdFile& bird) {
    const uint8_t* image = bird.image();
    const uint64_t length = bird.imageLength();
    if (bird.blockCount() != bird.blocks().size()) {
        return "block count differs from the descriptor list";
    }
    for (const BirdBlock& block : bird.blocks()) {
        if (block.data < image ||
            static_cast<uint64_t>(block.data - image) + block.length > length) {
            return "a descriptor points outside the image";
        }
        if ((block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) &&
            block.length < 4) {
            return "a loader or firmware block shorter than its address";
        }
        if (block.type > 31 || block.flags > 7) {
            return "type or flags out of range";
        }
    }
    size_t total = 0;
    for (unsigned type = 0; type < 32; ++type) {
        total += bird.blocksOfType(static_cast<uint8_t>(type)).size();
    }
    if (total != bird.blocks().size()) {
        return "blocksOfType lost or invented blocks";
    }
    (void)bird.version();
    (void)bird.infoSerialNumber();
    (void)bird.modelMatches("");
    (void)bird.modelMatches("ABC");
    (void)describeBirdFile(bird);

    // The rewrite may only touch bytes inside firmware images.
    std::vector<uint8_t> before(image, image + length);
    const bool written = bird.updateSerialNumber(0x1A2B3C4D);
    std::vector<bool> writable(length, false);
    for (const BirdBlock& block : bird.blocksOfType(BIRD_BLOCK_FIRMWARE)) {
        const size_t start = static_cast<size_t>(block.data - image) + 4;
        for (size_t i = start; i < start + block.length - 4; ++i) {
            writable[i] = true;
        }
    }
    bool changed = false;
    for (size_t i = 0; i < length; ++i) {
        if (image[i] != before[i]) {
            changed = true;
            if (!writable[i]) {
                return "the serial rewrite touched a byte outside the firmware blocks";
            }
        }
    }
    if (changed && !written) {
        return "the serial rewrite changed the image but reported false";
    }
    if (!bird.hasOffsets() && written) {
        return "the serial rewrite wrote without an offsets block";
    }

    BirdFile moved = std::move(bird);
    if (moved.image() != image || bird.blockCount() != 0) {
        return "moving did not carry the image over";
    }
    return {};
}

// Loads data twice: as a whole BIRD file, which mostly exercises decompression, and as a block
// image wrapped in a valid header and zlib stream, which puts the block walk in the fuzzer's
// hands. Load failures are fine.
inline std::string fuzzBirdLoader(const uint8_t* data, size_t size) {
    try {
        BirdFile bird = BirdFile::fromMemory("fuzz.bird", data, size);
        std::string problem = checkBirdFile(bird);
        if (!problem.empty()) {
            return "as a file: " + problem;
        }
    } catch (const std::runtime_error&) {
    }
    uLongf compressedLength = compressBound(static_cast<uLong>(size));
    std::vector<uint8_t> file(BIRD_HEADER_SIZE + compressedLength);
    memcpy(file.data(), "bird\x01\x01", BIRD_HEADER_SIZE);
    if (compress2(file.data() + BIRD_HEADER_SIZE, &compressedLength, data, static_cast<uLong>(size),
                  1) != Z_OK) {
        return "zlib could not compress the input";
    }
    file.resize(BIRD_HEADER_SIZE + compressedLength);
    try {
        BirdFile bird = BirdFile::fromMemory("image.bird", file.data(), file.size());
        std::string problem = checkBirdFile(bird);
        if (!problem.empty()) {
            return "as a block image: " + problem;
        }
    } catch (const std::runtime_error&) {
        // Only an image more than 8 times its compressed size may fail to load.
        if (size <= 8 * compressedLength) {
            return "a wrapped block image failed to load";
        }
    }
    return {};
}

// Reads data as an attribute file from scratchDirectory, writes it back and reads the result:
// both reads must give the same entries. Keys beginning with '#' and an empty key with an empty
// value are written but read back as a comment and a short line; they are left out of the check.
inline std::string fuzzAttributeFile(const uint8_t* data, size_t size,
                                     const std::string& scratchDirectory) {
    const std::string input = scratchDirectory + "/input.settings";
    const std::string output = scratchDirectory + "/output.settings";
    {
        std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(input.c_str(), "wb"), fclose);
        if (!file) {
            return "cannot create " + input;
        }
        const bool ok = size == 0 || fwrite(data, 1, size, file.get()) == size;
        if (fclose(file.release()) != 0 || !ok) {
            return "cannot write " + input;
        }
    }
    AttributeFile first(input);
    if (first.isDirty()) {
        return "a file just read is dirty";
    }
    std::map<std::string, std::string> expected;
    for (const auto& [key, value] : first.entries()) {
        if (!key.empty() && key.front() == '#') {
            continue;
        }
        if (key.empty() && value.empty()) {
            continue;
        }
        expected[key] = value;
    }
    // Written without UPDATED_TIME (nothing changed since the read), so the second read must
    // give exactly the same map.
    AttributeFile rewritten(input);
    if (rewritten.write(output) != aErrNone) {
        return "writing " + output + " failed";
    }
    for (const auto& entry : expected) {
        (void)first.getInt(entry.first, -1);
    }
    for (const auto& [key, value] : expected) {
        first.set(key, value);
        if (first.isDirty()) {
            return "setting a key to its own value made the file dirty";
        }
        first.set(key, value + "x");
        if (!first.isDirty()) {
            return "changing a value left the file clean";
        }
        break;
    }
    AttributeFile second(output);
    if (second.entries() != expected) {
        return "the written file reads back differently";
    }
    return {};
}
