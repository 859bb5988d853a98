/* Packed firmware versions and the library's own version (2.11.4).
 * A packed word has two layouts told apart by its top byte: legacy (major in bits 28-31, minor in
 * 24-27, a 24-bit patch) and current (0x2F top byte, then major, minor, patch bytes). */
#ifndef CORVANE_AVERSION_H
#define CORVANE_AVERSION_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

/* Packs a version; versions below 2.15 use the legacy layout. Either layout keeps the low byte
 * of patch when packing. */
CORVANE_API uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch);
CORVANE_API bool aVersion_IsLegacyFormat(uint32_t version);
CORVANE_API uint8_t aVersion_ParseMajor(uint32_t version);
CORVANE_API uint8_t aVersion_ParseMinor(uint32_t version);
CORVANE_API uint32_t aVersion_ParsePatch(uint32_t version);
/* Writes "major.minor.patch" into buffer; returns its length, or -1 when the buffer (size bytes)
 * is null or too small. 15 bytes always suffice. */
CORVANE_API int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

CORVANE_API uint8_t aVersion_GetMajor(void);
CORVANE_API uint8_t aVersion_GetMinor(void);
CORVANE_API uint32_t aVersion_GetPatch(void);
/* "2.11.4"; a static text, filled on first use. */
CORVANE_API const char* aVersion_GetString(void);
/* True when the library's version is at least major.minor.patch. */
CORVANE_API bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint32_t patch);
/* True when version 1 is greater than or equal to version 2 (major, then minor, then patch). */
CORVANE_API bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint32_t patch1,
                                           uint8_t major2, uint8_t minor2, uint32_t patch2);
CORVANE_API bool aVersion_HasFeature(const char* name);
/* A new text listing the features ("VERSION - Version Query API"); release it with
 * aVersion_DestroyFeatureList, which frees it and clears the caller's pointer. Null on failure. */
CORVANE_API char* aVersion_GetFeatureList(void);
CORVANE_API aErr aVersion_DestroyFeatureList(char** list);

CORVANE_EXTERN_C_END

#endif
