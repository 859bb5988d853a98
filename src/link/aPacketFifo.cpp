// Packet FIFOs: a process-wide registry of thread-safe packet queues, with waits that sleep on a
// condition variable and offer each packet to a first-match filter at most once.
#include "corvane/aPacketFifo.h"

#include "aPacketFifoInternal.h"
#include "cApiGuard.h"
#include "platform/hot_path.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

struct Entry {
    aPacket packet; // the FIFO's own copy
    uint32_t sequence;
};

// Newer-than on 32-bit sequence numbers that wrap: a positive signed difference.
bool newer(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}

struct PacketFifo {
    std::mutex mutex;
    std::condition_variable changed;
    // All below guarded by mutex.
    std::deque<Entry> entries;
    bool valid = true;
    uint32_t oldestSequence = 0; // of the front entry; nextSequence when empty
    uint32_t nextSequence = 0;
    unsigned waiters = 0; // threads sleeping on changed; a put with none skips the wake-up
    // Senders waiting for room (aPacketFifo_AwaitRoom) sleep on drained; takes wake them.
    std::condition_variable drained;
    unsigned roomWaiters = 0;
    uint64_t removals = 0; // grows whenever packets leave, so a room waiter sees progress

    CORVANE_HOT_PATH void frontChanged() {
        oldestSequence = entries.empty() ? nextSequence : entries.front().sequence;
    }

    // Removes the entry at position and hands the caller its packet: copied into into, or
    // when that is null into a new packet; null (entry kept) when that cannot be allocated.
    CORVANE_HOT_PATH aPacket* take(std::deque<Entry>::iterator position, aPacket* into = nullptr) {
        aPacket* copy = into != nullptr ? &(*into = position->packet)
                                        : new (std::nothrow) aPacket(position->packet);
        if (copy != nullptr) {
            if (position == entries.begin())
                entries.pop_front(); // the common case, without the general erase
            else
                entries.erase(position);
            removed();
        }
        return copy;
    }

    // After entries left the queue: a sender waiting for room may go on.
    CORVANE_HOT_PATH void removed() {
        ++removals;
        frontChanged();
        if (roomWaiters > 0) {
            drained.notify_all();
        }
    }

    // One put's worth of work: append, and past the bound discard the whole backlog (nobody is
    // reading, so drop it at once rather than trickle). Throws when the queue cannot grow.
    CORVANE_HOT_PATH void append(const aPacket& packet) {
        entries.push_back(Entry{packet, nextSequence});
        ++nextSequence;
        if (entries.size() > aPACKETFIFO_MAXPACKETS) {
            entries.clear();
        }
        frontChanged();
    }
};

using FifoRef = std::shared_ptr<PacketFifo>;

// Identifiers come from one counter; 0 after wrap-around is skipped.
std::atomic<uint64_t> gNextIdentifier{1};

// The registry: looked up far more often than changed, so lookups share the lock. Never
// destroyed, lock included: a link thread that outlived its stop may still call in at exit.
struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<uint64_t, FifoRef> fifos; // guarded by mutex
};
CORVANE_HOT_PATH Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

CORVANE_HOT_PATH FifoRef lookup(aPacketFifoId id) {
    Registry& r = registry();
    std::shared_lock lock(r.mutex);
    auto found = r.fifos.find(id);
    return found == r.fifos.end() ? nullptr : found->second;
}

CORVANE_HOT_PATH Clock::time_point deadlineAfter(uint32_t timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Sleeps until ready() holds or the deadline passes, then tests once more.
template <typename Ready>
CORVANE_HOT_PATH void waitUntil(PacketFifo& fifo, std::unique_lock<std::mutex>& lock,
                                Clock::time_point deadline, Ready ready) {
    if (ready() || Clock::now() >= deadline) {
        return; // a look without a wait costs no sleep on the condition
    }
    ++fifo.waiters;
    fifo.changed.wait_until(lock, deadline, ready);
    --fifo.waiters;
}

// The frame of the batch calls that wait: body(fifo, lock, deadline) runs on a known FIFO
// under its lock; 0 for an unknown FIFO or anything thrown.
template <typename Body> size_t waitLocked(aPacketFifoId fifoId, uint32_t timeoutMs, Body body) {
    return corvane::guardedValue<size_t>(0, [&]() -> size_t {
        const Clock::time_point deadline = deadlineAfter(timeoutMs);
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return 0;
        }
        std::unique_lock lock(fifo->mutex);
        return body(*fifo, lock, deadline);
    });
}

} // namespace

aPacketFifoId aPacketFifo_Create(void) {
    return corvane::guardedValue<aPacketFifoId>(0, [] {
        auto fifo = std::make_shared<PacketFifo>();
        uint64_t id = gNextIdentifier.fetch_add(1);
        if (id == 0) {
            id = gNextIdentifier.fetch_add(1);
        }
        Registry& r = registry();
        std::unique_lock lock(r.mutex);
        r.fifos.emplace(id, std::move(fifo));
        return id;
    });
}

aErr aPacketFifo_Destroy(aPacketFifoId* fifoId) {
    if (fifoId == nullptr) {
        return aErrParam;
    }
    return corvane::guardedValue<aErr>(aErrUnknown, [fifoId] {
        FifoRef fifo;
        {
            Registry& r = registry();
            std::unique_lock lock(r.mutex);
            auto found = r.fifos.find(*fifoId);
            if (found == r.fifos.end()) {
                return aErrNotFound;
            }
            fifo = std::move(found->second);
            r.fifos.erase(found);
        }
        {
            std::lock_guard lock(fifo->mutex);
            fifo->entries.clear();
            fifo->valid = false;
            fifo->frontChanged();
        }
        fifo->changed.notify_all();
        fifo->drained.notify_all();
        *fifoId = 0;
        return aErrNone;
    });
}

namespace {

// Runs append on a live FIFO under its lock, then wakes the waiters once if packets wait.
// unknown is the result for an unknown or destroyed FIFO.
template <typename T, typename Append>
CORVANE_HOT_PATH T appendLocked(aPacketFifoId fifoId, T unknown, Append append) {
    FifoRef fifo = lookup(fifoId);
    if (!fifo) {
        return unknown;
    }
    T result = unknown;
    bool wake = false;
    {
        std::lock_guard lock(fifo->mutex);
        if (!fifo->valid) {
            return unknown;
        }
        result = append(*fifo);
        wake = fifo->waiters > 0 && !fifo->entries.empty();
    }
    if (wake) {
        fifo->changed.notify_all();
    }
    return result;
}

} // namespace

aErr aPacketFifo_Put(aPacketFifoId fifoId, const aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    return aPacketFifo_PutAll(fifoId, packet, 1);
}

aErr aPacketFifo_PutAll(aPacketFifoId fifoId, const aPacket* packets, size_t count) {
    if (packets == nullptr) {
        return aErrParam;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!aVALIDPACKET(&packets[i])) {
            return aErrParam;
        }
    }
    return corvane::guardedValue<aErr>(aErrResource, [&] {
        return appendLocked(fifoId, aErrParam, [&](PacketFifo& fifo) {
            try {
                for (size_t i = 0; i < count; ++i) {
                    fifo.append(packets[i]);
                }
            } catch (...) {
                return aErrResource;
            }
            return aErrNone;
        });
    });
}

CORVANE_HOT_PATH size_t aPacketFifo_PutWithinRoom(aPacketFifoId fifoId, const aPacket* packets,
                                                  size_t count) {
    if (packets == nullptr) {
        return 0;
    }
    return corvane::guardedValue<size_t>(0, [&] {
        return appendLocked(fifoId, size_t{0}, [&](PacketFifo& fifo) {
            const size_t room = aPACKETFIFO_MAXPACKETS - fifo.entries.size();
            size_t put = 0;
            for (; put < count && put < room && aVALIDPACKET(&packets[put]); ++put) {
                fifo.append(packets[put]);
            }
            return put;
        });
    });
}

size_t aPacketFifo_TakeUpTo(aPacketFifoId fifoId, aPacket* out, size_t max, uint32_t timeoutMs) {
    if (out == nullptr || max == 0) {
        return 0;
    }
    return waitLocked(fifoId, timeoutMs,
                      [&](PacketFifo& fifo, std::unique_lock<std::mutex>& lock,
                          Clock::time_point deadline) -> size_t {
                          waitUntil(fifo, lock, deadline,
                                    [&] { return !fifo.entries.empty() || !fifo.valid; });
                          if (!fifo.valid) {
                              return 0;
                          }
                          const size_t n = std::min(max, fifo.entries.size());
                          for (size_t i = 0; i < n; ++i) {
                              out[i] = fifo.entries[i].packet;
                          }
                          fifo.entries.erase(fifo.entries.begin(),
                                             fifo.entries.begin() + static_cast<std::ptrdiff_t>(n));
                          if (n > 0) {
                              fifo.removed();
                          }
                          return n;
                      });
}

bool aPacketFifo_AwaitAny(aPacketFifoId fifoId, uint32_t timeoutMs) {
    return waitLocked(fifoId, timeoutMs,
                      [&](PacketFifo& fifo, std::unique_lock<std::mutex>& lock,
                          Clock::time_point deadline) -> size_t {
                          waitUntil(fifo, lock, deadline,
                                    [&] { return !fifo.entries.empty() || !fifo.valid; });
                          return fifo.valid && !fifo.entries.empty() ? 1 : 0;
                      }) != 0;
}

aErr aPacketFifo_AwaitRoom(aPacketFifoId fifoId, size_t room, uint32_t idleMs) {
    if (room > aPACKETFIFO_MAXPACKETS) {
        return aErrParam;
    }
    return corvane::guardedValue<aErr>(aErrUnknown, [&] {
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return aErrParam;
        }
        std::unique_lock lock(fifo->mutex);
        auto fits = [&] {
            return !fifo->valid || fifo->entries.size() + room <= aPACKETFIFO_MAXPACKETS;
        };
        ++fifo->roomWaiters;
        while (!fits()) {
            const uint64_t seen = fifo->removals;
            fifo->drained.wait_until(lock, deadlineAfter(idleMs),
                                     [&] { return fits() || fifo->removals != seen; });
            if (fifo->removals == seen) {
                break; // nothing left the FIFO for idleMs: nobody is taking
            }
        }
        --fifo->roomWaiters;
        if (!fifo->valid) {
            return aErrParam;
        }
        return fits() ? aErrNone : aErrTimeout;
    });
}

bool aPacketFifo_AwaitEmpty(aPacketFifoId fifoId, uint32_t timeoutMs) {
    return corvane::guardedValue<bool>(false, [&] {
        const Clock::time_point deadline = deadlineAfter(timeoutMs);
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return false;
        }
        std::unique_lock lock(fifo->mutex);
        ++fifo->roomWaiters;
        fifo->drained.wait_until(lock, deadline,
                                 [&] { return !fifo->valid || fifo->entries.empty(); });
        --fifo->roomWaiters;
        return fifo->valid && fifo->entries.empty();
    });
}

CORVANE_HOT_PATH size_t aPacketFifo_GetLength(aPacketFifoId fifoId) {
    return corvane::guardedValue<size_t>(0, [&]() -> size_t {
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return 0;
        }
        std::lock_guard lock(fifo->mutex);
        return fifo->entries.size();
    });
}

aPacket* aPacketFifo_Get(aPacketFifoId fifoId) {
    return aPacketFifo_Await(fifoId, 0);
}

aPacket* aPacketFifo_Await(aPacketFifoId fifoId, uint32_t timeoutMs) {
    return corvane::guardedValue<aPacket*>(nullptr, [&]() -> aPacket* {
        Clock::time_point deadline = deadlineAfter(timeoutMs);
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return nullptr;
        }
        std::unique_lock lock(fifo->mutex);
        waitUntil(*fifo, lock, deadline, [&] { return !fifo->entries.empty() || !fifo->valid; });
        if (!fifo->valid || fifo->entries.empty()) {
            return nullptr;
        }
        return fifo->take(fifo->entries.begin());
    });
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId fifoId, aPacketFilter filter, void* reference) {
    return aPacketFifo_AwaitFirst(fifoId, filter, reference, 0);
}

namespace {

// What ends a wait early, with nothing: a counter that moved on from the value seen.
struct Unless {
    const std::atomic<uint64_t>* counter;
    uint64_t seen;
    bool met() const { return counter != nullptr && counter->load() != seen; }
};

// into: where the packet goes, or null for a new one.
CORVANE_HOT_PATH aPacket* awaitFirst(aPacketFifoId fifoId, aPacketFilter filter, void* reference,
                                     uint32_t timeoutMs, Unless unless, aPacket* into) {
    if (filter == nullptr) {
        return nullptr;
    }
    return corvane::guardedValue<aPacket*>(nullptr, [&]() CORVANE_HOT_PATH -> aPacket* {
        Clock::time_point deadline = deadlineAfter(timeoutMs);
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return nullptr;
        }
        std::unique_lock lock(fifo->mutex);
        // Everything from the oldest stored packet on is still to be offered to the filter.
        uint32_t lastExamined = fifo->oldestSequence - 1;
        // Position of the match; the lock is held from the scan that finds it to the take.
        size_t found = SIZE_MAX;
        auto scan = [&]() CORVANE_HOT_PATH {
            if (!fifo->valid) {
                return true;
            }
            const size_t count = fifo->entries.size();
            for (size_t i = 0; i < count; ++i) {
                const Entry& entry = fifo->entries[i];
                if (!newer(entry.sequence, lastExamined)) {
                    continue;
                }
                lastExamined = entry.sequence;
                if (filter(&entry.packet, reference)) {
                    found = i;
                    return true;
                }
            }
            return unless.met();
        };
        waitUntil(*fifo, lock, deadline, scan);
        if (found == SIZE_MAX || !fifo->valid) {
            return nullptr;
        }
        return fifo->take(fifo->entries.begin() + static_cast<std::ptrdiff_t>(found), into);
    });
}

} // namespace

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifoId, aPacketFilter filter, void* reference,
                                uint32_t timeoutMs) {
    return awaitFirst(fifoId, filter, reference, timeoutMs, Unless{nullptr, 0}, nullptr);
}

aPacket* aPacketFifo_AwaitFirstUnless(aPacketFifoId fifoId, aPacketFilter filter, void* reference,
                                      uint32_t timeoutMs, const std::atomic<uint64_t>& counter,
                                      uint64_t seen) {
    return awaitFirst(fifoId, filter, reference, timeoutMs, Unless{&counter, seen}, nullptr);
}

CORVANE_HOT_PATH bool aPacketFifo_AwaitFirstUnlessInto(aPacketFifoId fifoId, aPacketFilter filter,
                                                       void* reference, uint32_t timeoutMs,
                                                       const std::atomic<uint64_t>& counter,
                                                       uint64_t seen, aPacket* out) {
    return out != nullptr &&
           awaitFirst(fifoId, filter, reference, timeoutMs, Unless{&counter, seen}, out) != nullptr;
}

namespace {

size_t awaitRun(aPacketFifoId fifoId, aPacketRunFilter filter, void* reference, uint32_t timeoutMs,
                Unless unless) {
    if (filter == nullptr) {
        return 0;
    }
    return waitLocked(fifoId, timeoutMs,
                      [&](PacketFifo& fifo, std::unique_lock<std::mutex>& lock,
                          Clock::time_point deadline) -> size_t {
                          uint32_t lastExamined = fifo.oldestSequence - 1;
                          size_t taken = 0;
                          auto scan = [&] {
                              if (!fifo.valid) {
                                  return true;
                              }
                              for (size_t i = 0; i < fifo.entries.size();) {
                                  const Entry& entry = fifo.entries[i];
                                  if (!newer(entry.sequence, lastExamined)) {
                                      ++i;
                                      continue;
                                  }
                                  lastExamined = entry.sequence;
                                  const aRunVerdict verdict = filter(&entry.packet, reference);
                                  if (verdict == aRunVerdict::skip) {
                                      ++i;
                                      continue;
                                  }
                                  fifo.entries.erase(fifo.entries.begin() +
                                                     static_cast<std::ptrdiff_t>(i));
                                  ++taken;
                                  if (verdict == aRunVerdict::takeLast) {
                                      break;
                                  }
                              }
                              return taken > 0 || unless.met();
                          };
                          waitUntil(fifo, lock, deadline, scan);
                          if (taken > 0) {
                              fifo.removed();
                          }
                          return fifo.valid ? taken : 0;
                      });
}

} // namespace

size_t aPacketFifo_AwaitRun(aPacketFifoId fifoId, aPacketRunFilter filter, void* reference,
                            uint32_t timeoutMs) {
    return awaitRun(fifoId, filter, reference, timeoutMs, Unless{nullptr, 0});
}

size_t aPacketFifo_AwaitRunUnless(aPacketFifoId fifoId, aPacketRunFilter filter, void* reference,
                                  uint32_t timeoutMs, const std::atomic<uint64_t>& counter,
                                  uint64_t seen) {
    return awaitRun(fifoId, filter, reference, timeoutMs, Unless{&counter, seen});
}

void aPacketFifo_WakeWaiters(aPacketFifoId fifoId) {
    corvane::guardedValue<bool>(false, [&] {
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return false;
        }
        bool wake = false;
        {
            // Taken so that a waiter between its test of the counter and its sleep is asleep
            // by the time of the wake-up.
            std::lock_guard lock(fifo->mutex);
            wake = fifo->waiters > 0;
        }
        if (wake) {
            fifo->changed.notify_all();
        }
        return true;
    });
}

size_t aPacketFifo_DrainPackets(aPacketFifoId fifoId, aPacketFilter filter, void* reference) {
    if (filter == nullptr) {
        return 0;
    }
    return corvane::guardedValue<size_t>(0, [&]() -> size_t {
        FifoRef fifo = lookup(fifoId);
        if (!fifo) {
            return 0;
        }
        std::lock_guard lock(fifo->mutex);
        // remove_if keeps the order of the survivors and asks the filter once per packet.
        auto kept = std::remove_if(fifo->entries.begin(), fifo->entries.end(),
                                   [&](const Entry& e) { return filter(&e.packet, reference); });
        size_t count = static_cast<size_t>(fifo->entries.end() - kept);
        fifo->entries.erase(kept, fifo->entries.end());
        if (count > 0) {
            fifo->removed(); // a drain that took nothing is no progress for a room waiter
        }
        return count;
    });
}
