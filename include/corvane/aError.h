/* Library-wide error codes and their texts. Numbers never change once published. */
#ifndef CORVANE_AERROR_H
#define CORVANE_AERROR_H

#include "aDefs.h"

CORVANE_EXTERN_C_BEGIN

typedef enum aErr {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34
} aErr;

/* Symbolic text of a code ("aErrTimeout"); codes outside 0..34 give "aErrUnknown". Never null. */
CORVANE_API const char* aError_GetErrorText(aErr code);
/* One-line description of a code ("Timeout occurred"); codes outside 0..34 give "Unknown error". */
CORVANE_API const char* aError_GetErrorDescription(aErr code);

CORVANE_EXTERN_C_END

#endif
