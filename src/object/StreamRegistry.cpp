// The stream registry of a Link (see StreamRegistry.h).
#include "StreamRegistry.h"

namespace Corvane {

namespace {

constexpr uint8_t kWildcard = Link::STREAM_WILDCARD;

bool matches(uint64_t pattern, uint64_t key) {
    for (int element = 0; element < 5; ++element) {
        const uint8_t wanted = streamKeyElement(pattern, element);
        if (wanted != kWildcard && wanted != streamKeyElement(key, element))
            return false;
    }
    return true;
}

bool hasWildcard(uint64_t key) {
    for (int element = 0; element < 5; ++element)
        if (streamKeyElement(key, element) == kWildcard)
            return true;
    return false;
}

} // namespace

StreamRegistry::Entry& StreamRegistry::entryFor(uint64_t key) {
    const auto [entry, added] = entries_.try_emplace(key);
    if (added)
        ++forms_[formOf(key)];
    return entry->second;
}

void StreamRegistry::erase(uint64_t key) {
    if (entries_.erase(key) != 0)
        --forms_[formOf(key)];
}

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
    Entry& entry = entryFor(key);
    entry.value = value;
    entry.fresh = true;
}

void StreamRegistry::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    forms_.fill(0);
}

bool StreamRegistry::empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.empty();
}

void StreamRegistry::enroll(uint64_t key, SharedStreamCallback callback, void* reference) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entryFor(key);
    entry.callback = std::move(callback);
    entry.reference = reference;
}

std::size_t StreamRegistry::removeMatching(uint64_t pattern) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto keys = matchingKeysLocked(pattern);
    for (uint64_t key : keys)
        erase(key);
    return keys.size();
}

std::vector<uint64_t> StreamRegistry::matchingKeysLocked(uint64_t pattern) const {
    std::vector<uint64_t> keys;
    for (const auto& [key, entry] : entries_)
        if (matches(pattern, key))
            keys.push_back(key);
    return keys;
}

std::vector<uint64_t> StreamRegistry::matchingKeys(uint64_t pattern, bool lock) {
    if (!lock)
        return matchingKeysLocked(pattern);
    std::lock_guard<std::mutex> guard(mutex_);
    return matchingKeysLocked(pattern);
}

aErr StreamRegistry::status(uint64_t pattern, StreamStatusEntry* entries, std::size_t count,
                            std::size_t* unloaded) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t written = 0;
    aErr result = aErrNone;
    for (const auto& [key, entry] : entries_) {
        if (!matches(pattern, key) || hasWildcard(key))
            continue;
        if (written == count) {
            result = aErrSize;
            break;
        }
        entries[written++] = {key, entry.value};
    }
    *unloaded = written;
    return result;
}

} // namespace Corvane
