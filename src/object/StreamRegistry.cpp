// The stream cache of a Link (see StreamRegistry.h).
#include "StreamRegistry.h"

namespace Corvane {

aErr StreamRegistry::latestValue(uint64_t key, uint32_t* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto entry = entries_.find(key);
    if (entry == entries_.end())
        return aErrNotFound;
    if (value)
        *value = entry->second.value;
    const bool fresh = entry->second.fresh;
    entry->second.fresh = false;
    return fresh ? aErrNone : aErrStreamStale;
}

void StreamRegistry::store(uint64_t key, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[key] = Entry{value, true};
}

void StreamRegistry::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

} // namespace Corvane
