// The library's recursive, process-local lock. The owner is tracked so another thread's TryLock
// and Destroy can answer "busy" instead of blocking or freeing a lock in use.
#include "corvane/aMutex.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

struct aMutex {
    std::recursive_mutex lock;
    // Written only by the thread holding lock; read by any thread to tell "mine" from "theirs".
    std::atomic<std::thread::id> owner{};
    unsigned depth = 0;               // guarded by lock
    std::atomic<unsigned> waiters{0}; // threads inside Lock, about to own it
    char name[aMUTEX_MAX_NAME + 1] = {};
};

namespace {

bool heldByMe(const aMutex* mutex) {
    return mutex->owner.load() == std::this_thread::get_id();
}

void acquired(aMutex* mutex) {
    if (mutex->depth++ == 0)
        mutex->owner.store(std::this_thread::get_id());
}

} // namespace

aMutex* aMutex_Create(const char* name) {
    const size_t length = name ? strlen(name) : 0;
    if (length > aMUTEX_MAX_NAME)
        return nullptr;
    auto* mutex = new (std::nothrow) aMutex;
    if (mutex && length)
        memcpy(mutex->name, name, length + 1);
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) {
    return mutex ? mutex->name : nullptr;
}

aErr aMutex_Lock(aMutex* mutex) {
    if (!mutex)
        return aErrParam;
    mutex->waiters.fetch_add(1);
    try {
        mutex->lock.lock();
    } catch (const std::system_error&) {
        mutex->waiters.fetch_sub(1);
        return aErrResource; // recursion too deep for the system lock
    }
    mutex->waiters.fetch_sub(1);
    acquired(mutex);
    return aErrNone;
}

aErr aMutex_TryLock(aMutex* mutex) {
    if (!mutex)
        return aErrParam;
    if (!mutex->lock.try_lock())
        return heldByMe(mutex) ? aErrResource : aErrBusy;
    acquired(mutex);
    return aErrNone;
}

aErr aMutex_Unlock(aMutex* mutex) {
    if (!mutex)
        return aErrParam;
    // Releasing a lock this thread does not hold would corrupt it for its real owner.
    if (!heldByMe(mutex))
        return aErrPermission;
    if (--mutex->depth == 0)
        mutex->owner.store(std::thread::id());
    mutex->lock.unlock();
    return aErrNone;
}

aErr aMutex_Destroy(aMutex** mutex) {
    if (!mutex || !*mutex)
        return aErrParam;
    aMutex* doomed = *mutex;
    // Held by or wanted by another thread: leave it as it was. Held by this thread: release it
    // fully first, as a system lock must not be destroyed while locked.
    if (doomed->waiters.load() != 0)
        return aErrBusy;
    if (heldByMe(doomed)) {
        doomed->owner.store(std::thread::id());
        for (; doomed->depth > 0; --doomed->depth)
            doomed->lock.unlock();
    } else {
        if (!doomed->lock.try_lock())
            return aErrBusy;
        doomed->lock.unlock();
    }
    delete doomed;
    *mutex = nullptr;
    return aErrNone;
}
