/* The library's lock: recursive and process-local; the name is only a label. */
#ifndef CORVANE_AMUTEX_H
#define CORVANE_AMUTEX_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

#define aMUTEX_MAX_NAME 255

typedef struct aMutex aMutex;

/* A new mutex, or null when name is aMUTEX_MAX_NAME+1 characters or longer. name may be null. */
CORVANE_API aMutex* aMutex_Create(const char* name);
/* The stored name ("" when none). Null for a null mutex. */
CORVANE_API const char* aMutex_Identifier(const aMutex* mutex);
/* Waits for the mutex; aErrResource when the system lock cannot nest any deeper. */
CORVANE_API aErr aMutex_Lock(aMutex* mutex);
/* aErrBusy when another thread holds it. */
CORVANE_API aErr aMutex_TryLock(aMutex* mutex);
/* aErrPermission when the calling thread does not hold it (the real owner keeps it). */
CORVANE_API aErr aMutex_Unlock(aMutex* mutex);
/* Frees the mutex and clears *mutex, releasing it when the caller holds it. aErrBusy (and
 * nothing changed) when another thread holds it or is waiting in aMutex_Lock for it. */
CORVANE_API aErr aMutex_Destroy(aMutex** mutex);

CORVANE_EXTERN_C_END

#endif
