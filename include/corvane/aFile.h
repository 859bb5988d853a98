/* Files behind a checked handle: open, read, write, seek, lines and formatted output. */
#ifndef CORVANE_AFILE_H
#define CORVANE_AFILE_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

typedef enum aFileMode {
    aFileModeReadOnly = 0,  /* existing file, reading */
    aFileModeWriteOnly = 1, /* created or truncated, writing */
    aFileModeAppend = 2     /* opened or created, reading and writing, positioned at the end */
} aFileMode;

typedef enum aFileSeekOrigin { aSeekStart = 0, aSeekCurrent = 1, aSeekEnd = 2 } aFileSeekOrigin;

typedef struct aFile aFile;

/* True when path names an existing entry that is not a directory. */
CORVANE_API bool aFile_Exists(const char* path);
/* A new handle, or null: absent path, longer than aFILE_MAXPATH, no memory, or refused. */
CORVANE_API aFile* aFile_Open(const char* path, aFileMode mode);
/* Closes the file and clears *file. aErrParam for an absent or invalid handle. A writable file
 * is flushed to the storage device first; aErrWrite when that fails (the data may be lost),
 * aErrIO when the close itself fails. The handle is gone in every case but aErrParam. */
CORVANE_API aErr aFile_Close(aFile** file);
/* Reads up to count bytes. aErrMode unless opened for reading; aErrRead when the system read
 * fails; otherwise aErrEOF when nothing was read and count was not 0. read may be null. */
CORVANE_API aErr aFile_Read(aFile* file, void* buffer, size_t count, size_t* read);
/* aErrMode unless opened for writing; aErrWrite when the system write fails. */
CORVANE_API aErr aFile_Write(aFile* file, const void* buffer, size_t count, size_t* written);
/* aErrRange when the target lies before the start or beyond the end; aErrIO on query failure. */
CORVANE_API aErr aFile_Seek(aFile* file, int64_t offset, aFileSeekOrigin origin);
CORVANE_API aErr aFile_GetSize(aFile* file, uint64_t* size);
CORVANE_API aErr aFile_GetPosition(aFile* file, uint64_t* position);
/* aErrParam absent path, aErrNotFound no such file, aErrPermission denied, aErrIO otherwise. */
CORVANE_API aErr aFile_Delete(const char* path);
/* Reads one line, line feed included, into buffer (size bytes, terminated); the file is left
 * just after the line feed. aErrEOF at the end, aErrOverrun when the line is longer than the
 * buffer (the part read is returned, the rest follows on the next call), aErrIO when the read
 * fails, aErrParam for a null buffer or a size below 2. length may be null. */
CORVANE_API aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
/* Formats into one process-wide 64 KiB buffer and writes it; concurrent callers take turns.
 * aErrMode unless writable, aErrIO when formatting fails or the text does not fit (nothing is
 * written then), aErrWrite when the write fails. */
CORVANE_API aErr aFile_Printf(aFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
/* Not supported: always aErrMode. */
CORVANE_API aErr aFile_SetUnbuffered(aFile* file);

CORVANE_EXTERN_C_END

#endif
