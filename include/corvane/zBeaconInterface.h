/* The process-wide network interface of beacons (the local sharing servers' and the aEther
 * discovery's), with the lock that keeps two of them from configuring beacons at once. A
 * beacon takes the interface set when it is created: "127.0.0.1" keeps every beacon on this
 * host, an IPv4 address names one interface, "" or "*" lets the beacon choose. */
#ifndef CORVANE_ZBEACONINTERFACE_H
#define CORVANE_ZBEACONINTERFACE_H

#include "aDefs.h"

CORVANE_EXTERN_C_BEGIN

/* Takes the lock and sets the interface. False, without locking, for a null text or one that
 * is neither an IPv4 address, "" nor "*". The lock is recursive and held per thread: the
 * thread that took it releases it. */
CORVANE_API bool zBeaconInterface_setAndLock(const char* text);
CORVANE_API void zBeaconInterface_unlock(void);

/* As setAndLock, after saving the current setting; restoreAndUnlock puts it back and
 * releases the lock. */
CORVANE_API bool zBeaconInterface_backupSetAndLock(const char* text);
CORVANE_API void zBeaconInterface_restoreAndUnlock(void);

/* The current setting and the saved one. The texts stay valid until the setting changes;
 * read them under the lock (the AndLock forms take it; release it with unlock). */
CORVANE_API const char* zBeaconInterface_get(void);
CORVANE_API const char* zBeaconInterface_getAndLock(void);
CORVANE_API const char* zBeaconInterface_getBackup(void);
CORVANE_API const char* zBeaconInterface_getBackupAndLock(void);

CORVANE_EXTERN_C_END

#endif
