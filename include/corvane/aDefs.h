/* Common definitions of the Corvane module link library: export macros and the model table. */
#ifndef CORVANE_ADEFS_H
#define CORVANE_ADEFS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(CORVANE_BUILDING_LIBRARY) && defined(_WIN32)
/* A DLL exports what is marked; everything else stays inside it. */
#define CORVANE_API __declspec(dllexport)
#elif defined(CORVANE_BUILDING_LIBRARY)
#define CORVANE_API __attribute__((visibility("default")))
#else
#define CORVANE_API
#endif

#ifdef __cplusplus
#define CORVANE_EXTERN_C_BEGIN extern "C" {
#define CORVANE_EXTERN_C_END }
#else
#define CORVANE_EXTERN_C_BEGIN
#define CORVANE_EXTERN_C_END
#endif

/* Longest path the file and directory helpers accept, terminator excluded. */
#define aFILE_MAXPATH 260

CORVANE_EXTERN_C_BEGIN

/* The model name of a module model code, "Unknown" for a code without one.
 * Never null; the text is static. Thread-safe. */
CORVANE_API const char* aDefs_GetModelName(uint8_t model);

CORVANE_EXTERN_C_END

#endif
