/* The library's millisecond clock and sleep. The clock is monotonic and wraps at 32 bits:
 * compare ticks by unsigned difference, never by order. */
#ifndef CORVANE_ATIME_H
#define CORVANE_ATIME_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

CORVANE_API uint32_t aTime_GetMSTicks(void);
/* Sleeps ms milliseconds; 0 returns at once. Always aErrNone. */
CORVANE_API aErr aTime_MSSleep(uint32_t ms);

CORVANE_EXTERN_C_END

#endif
