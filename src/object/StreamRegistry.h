// The stream registry of a Link: the stream registrations (keys with 0xFF wildcards, each with
// an optional callback) and the latest value of every UEI the module streams, by stream key.
// Gets consult it before asking the module; it stays empty until streaming is enabled.
#pragma once

#include "corvane/Link.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace Corvane {

inline uint64_t makeStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                              uint8_t subindex) {
    return (uint64_t{subindex} << 32) | (uint64_t{module} << 24) | (uint64_t{command} << 16) |
           (uint64_t{option} << 8) | index;
}

// The five elements of a key, module first.
inline uint8_t streamKeyElement(uint64_t key, int element) {
    static constexpr int kShift[] = {24, 16, 8, 0, 32};
    return static_cast<uint8_t>(key >> kShift[element]);
}

// For a stream packet of the kind getStreamPacketType found: whether it is a valid sample, and
// its parts (null outputs skipped), without checking the packet again.
bool isSampleOfKind(const aPacket* packet, STREAM_PACKET kind);
void decodeSample(const aPacket* packet, STREAM_PACKET kind, uint64_t* timestamp, uint32_t* value,
                  uint8_t* subindex);

// A callback as the queue carries it: shared, so that a queued delivery outlives a disable.
using SharedStreamCallback = std::shared_ptr<const StreamCallback>;

class StreamRegistry {
  public:
    // aErrNotFound without an entry for key; else *value is its latest value and the result
    // aErrNone when it is fresh (the fresh mark is cleared) or aErrStreamStale.
    aErr latestValue(uint64_t key, uint32_t* value);
    // Records a sample for key, keeping a callback it has.
    void store(uint64_t key, uint32_t value);
    void clear();
    bool empty();

    // Gives key (created with value 0 when new) the callback and reference.
    void enroll(uint64_t key, SharedStreamCallback callback, void* reference);
    // Removes every entry that pattern matches (see matches). Returns how many.
    std::size_t removeMatching(uint64_t pattern);
    // Keys of the entries whose elements each equal pattern's or are matched by its 0xFF.
    std::vector<uint64_t> matchingKeys(uint64_t pattern, bool lock);
    // Key and value of each matching entry without a wildcard, into entries (see
    // Link::getStreamStatus).
    aErr status(uint64_t pattern, StreamStatusEntry* entries, std::size_t count,
                std::size_t* unloaded);

    // The stream filter's step for one stream packet of key: delivers to the exact entry and to
    // each wildcard entry that covers key; a valid sample's value is stored in the exact entry,
    // which is created when only wildcards covered the key.
    template <class Deliver>
    void dispatch(uint64_t key, bool isSample, uint32_t value, Deliver&& deliver);

  private:
    struct Entry {
        uint32_t value = 0;
        bool fresh = false;
        SharedStreamCallback callback;
        void* reference = nullptr;
    };
    // Element masks of command, option, index and subindex: the module is never a wildcard.
    static constexpr uint64_t kElementMask[] = {0xFFull << 16, 0xFFull << 8, 0xFFull,
                                                0xFFull << 32};
    // The bits of the elements of each combination of them (bit 0 command to bit 3 subindex).
    static constexpr std::array<uint64_t, 16> kCombinationMask = [] {
        std::array<uint64_t, 16> masks{};
        for (unsigned combination = 0; combination < 16; ++combination)
            for (unsigned element = 0; element < 4; ++element)
                if (combination & (1u << element))
                    masks[combination] |= kElementMask[element];
        return masks;
    }();
    // The form of a key: which of command, option, index and subindex (bits 0 to 3) are 0xFF.
    static unsigned formOf(uint64_t key) {
        unsigned form = 0;
        for (unsigned element = 0; element < 4; ++element)
            if ((key & kElementMask[element]) == kElementMask[element])
                form |= 1u << element;
        return form;
    }
    // Under mutex_: entries_[key], counted in forms_ when new.
    Entry& entryFor(uint64_t key);
    void erase(uint64_t key);
    std::vector<uint64_t> matchingKeysLocked(uint64_t pattern) const;

    std::mutex mutex_;
    std::map<uint64_t, Entry> entries_; // guarded by mutex_
    // Entries of each form, guarded by mutex_: the filter looks up only the wildcard forms
    // that some registration has, not all fifteen for every sample.
    std::array<uint32_t, 16> forms_{};
};

template <class Deliver>
void StreamRegistry::dispatch(uint64_t key, bool isSample, uint32_t value, Deliver&& deliver) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto exact = entries_.find(key);
    if (exact != entries_.end()) {
        if (exact->second.callback)
            deliver(exact->second.callback, exact->second.reference);
        if (isSample) {
            exact->second.value = value;
            exact->second.fresh = true;
        }
    }
    bool covered = false;
    // A wildcard key's form is the combination plus the elements the key has at 0xFF already.
    const unsigned keyForm = formOf(key);
    for (unsigned combination = 1; combination < 16; ++combination) {
        if (forms_[combination | keyForm] == 0)
            continue; // no registration of that form
        const auto entry = entries_.find(key | kCombinationMask[combination]);
        if (entry == entries_.end())
            continue;
        covered = true;
        if (entry->second.callback)
            deliver(entry->second.callback, entry->second.reference);
    }
    if (exact == entries_.end() && covered && isSample)
        entryFor(key) = Entry{value, true, nullptr, nullptr};
}

} // namespace Corvane
