// The stream cache of a Link: the latest value of each UEI the module streams, by stream key.
// Gets consult it before asking the module; it stays empty until streaming is enabled.
#pragma once

#include "corvane/aError.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace Corvane {

// module << 24 | command << 16 | option << 8 | index | subindex << 32; 0xFF is the wildcard.
inline uint64_t makeStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                              uint8_t subindex) {
    return (uint64_t{subindex} << 32) | (uint64_t{module} << 24) | (uint64_t{command} << 16) |
           (uint64_t{option} << 8) | index;
}

class StreamRegistry {
  public:
    // aErrNotFound without an entry for key; else *value is its latest value and the result
    // aErrNone when it is fresh (the fresh mark is cleared) or aErrStreamStale.
    aErr latestValue(uint64_t key, uint32_t* value);
    // Records a sample for key (used by the stream filter).
    void store(uint64_t key, uint32_t value);
    void clear();

  private:
    struct Entry {
        uint32_t value = 0;
        bool fresh = false;
    };
    std::mutex mutex_;
    std::map<uint64_t, Entry> entries_; // guarded by mutex_
};

} // namespace Corvane
