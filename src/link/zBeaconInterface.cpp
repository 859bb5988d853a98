// The process-wide beacon interface setting (CZMQ's interface setting) and the lock that
// serialises beacon creation between sharing servers and aEther discoveries.
#include "corvane/zBeaconInterface.h"

#include "aBeacon.h"
#include "platform/udp.h"

#include <czmq.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr std::size_t kBackupSize = 100;

struct InterfaceState {
    std::recursive_mutex lock;
    char backup[kBackupSize] = {}; // guarded by lock
};

// Never destroyed: a beacon may still be torn down while static objects go at exit.
InterfaceState& state() {
    static InterfaceState* s = new InterfaceState;
    return *s;
}

bool acceptable(const char* text) {
    if (text == nullptr)
        return false;
    if (text[0] == '\0' || std::strcmp(text, "*") == 0)
        return true;
    uint32_t address = 0;
    return corvane::platform::parseIPv4(text, address) == aErrNone;
}

const char* current() {
    corvane::czmqPrepare();
    const char* text = zsys_interface();
    return text != nullptr ? text : "";
}

} // namespace

bool zBeaconInterface_setAndLock(const char* text) {
    if (!acceptable(text))
        return false;
    corvane::czmqPrepare();
    state().lock.lock();
    zsys_set_interface(text);
    return true;
}

void zBeaconInterface_unlock(void) {
    state().lock.unlock();
}

bool zBeaconInterface_backupSetAndLock(const char* text) {
    if (!acceptable(text))
        return false;
    InterfaceState& s = state();
    corvane::czmqPrepare();
    s.lock.lock();
    std::snprintf(s.backup, sizeof s.backup, "%s", current());
    zsys_set_interface(text);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void) {
    InterfaceState& s = state();
    zsys_set_interface(s.backup);
    s.lock.unlock();
}

const char* zBeaconInterface_get(void) {
    return current();
}

const char* zBeaconInterface_getAndLock(void) {
    state().lock.lock();
    return current();
}

const char* zBeaconInterface_getBackup(void) {
    return state().backup;
}

const char* zBeaconInterface_getBackupAndLock(void) {
    state().lock.lock();
    return state().backup;
}
