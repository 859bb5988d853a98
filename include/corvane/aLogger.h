/* A background thread that calls a user procedure again and again with an open log file.
 * The procedure does the waiting and the writing; the logger only owns the file and thread. */
#ifndef CORVANE_ALOGGER_H
#define CORVANE_ALOGGER_H

#include "aDefs.h"
#include "aError.h"
#include "aFile.h"

CORVANE_EXTERN_C_BEGIN

typedef struct aLogger aLogger;
typedef void (*aLoggerProc)(aFile* log, uint32_t reference);

/* Opens path in append mode and returns a stopped logger; null when path or proc is absent,
 * path is longer than aFILE_MAXPATH or cannot be opened. One thread controls a logger. */
CORVANE_API aLogger* aLogger_Create(uint32_t reference, aLoggerProc proc, const char* path);
/* Starts the thread unless it runs. aErrParam invalid handle, aErrResource no thread. */
CORVANE_API aErr aLogger_Enable(aLogger* logger);
/* Stops the thread and waits for it; aErrNone at once when stopped. Called from the logger's
 * own procedure it only asks the loop to end and returns aErrBusy. */
CORVANE_API aErr aLogger_Disable(aLogger* logger);
/* Disables, closes the file, frees the logger and clears *logger; when disabling fails the
 * logger is kept and the error returned. */
CORVANE_API aErr aLogger_Destroy(aLogger** logger);

CORVANE_EXTERN_C_END

#endif
