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
CORVANE_API aErr aMutex_Lock(aMutex* mutex);
/* aErrBusy when another thread holds it. */
CORVANE_API aErr aMutex_TryLock(aMutex* mutex);
CORVANE_API aErr aMutex_Unlock(aMutex* mutex);
/* Frees the mutex and clears *mutex; aErrBusy (and nothing freed) when another thread holds it. */
CORVANE_API aErr aMutex_Destroy(aMutex** mutex);

CORVANE_EXTERN_C_END

#endif
