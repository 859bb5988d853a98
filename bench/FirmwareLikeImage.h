// Firmware-like test images for the benchmarks, so BIRD bodies compress as real ones do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// Firmware-like bytes: instruction words drawn from a limited vocabulary, literal pools of
// random constants and erased (0xFF) padding, so the body compresses roughly as real images do.
inline std::vector<uint8_t> firmwareLikeImage(size_t size) {
    std::mt19937 random(12345);
    std::vector<uint32_t> vocabulary(512);
    for (uint32_t& word : vocabulary) {
        word = random();
    }
    std::vector<uint8_t> image;
    image.reserve(size);
    while (image.size() < size) {
        const uint32_t choice = random() % 100;
        uint32_t word;
        if (choice < 80) {
            word = vocabulary[random() % vocabulary.size()];
        } else if (choice < 95) {
            word = random();
        } else {
            word = 0xFFFFFFFF;
        }
        for (int i = 0; i < 4 && image.size() < size; ++i) {
            image.push_back(static_cast<uint8_t>(word >> (8 * i)));
        }
    }
    return image;
}
