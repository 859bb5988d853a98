/* Directory helpers: existence, recursive creation, listing, deletion and path building.
 * Paths are narrow texts joined with "/". All functions are thread-safe. */
#ifndef CORVANE_ADIRECTORY_H
#define CORVANE_ADIRECTORY_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

/* Separator used when joining paths. */
#define aDIRECTORY_SEPARATOR '/'
/* Most parts aDirectory_BuildPath joins, the first included. */
#define aDIRECTORY_MAX_PARTS 10

typedef struct aDirectoryEntry {
    char path[aFILE_MAXPATH + 1]; /* directory + separator + entry name */
    uint32_t size;                /* low 32 bits of the entry's size */
    bool isDirectory;
} aDirectoryEntry;

/* Called once per entry ("." and ".." included); return false to stop the walk. */
typedef bool (*aDirectoryListProc)(const aDirectoryEntry* entry, void* reference);

/* True when path names an existing directory; "." and "./" mean the working directory. */
CORVANE_API bool aDirectory_Exists(const char* path);
/* Creates path and every missing parent, each rwxr-xr-x at most (the umask narrows it further).
 * aErrNone, aErrParam for a null path, or aErrPermission when a directory cannot be created (a
 * file in the way included). */
CORVANE_API aErr aDirectory_Ensure(const char* path);
/* Calls proc for each entry in the system's order until it returns false. aErrParam when the
 * directory cannot be opened or proc is null; aErrFileNameLength (the walk stops there) when an
 * entry's path does not fit aDirectoryEntry.path. */
CORVANE_API aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* reference);
/* Removes an empty directory: aErrNone, or aErrUnknown on any failure. */
CORVANE_API aErr aDirectory_Delete(const char* path);
/* Removes a directory with its contents; symbolic links inside are removed, never followed.
 * aErrParam when path is not a directory (a link to one included) or cannot be listed,
 * aErrUnknown when anything is left behind. */
CORVANE_API aErr aDirectory_DeleteTree(const char* path);
/* The working directory; aErrParam on failure (null buffer, too small). */
CORVANE_API aErr aDirectory_CWD(char* buffer, size_t size);
/* Full path of the running executable; aErrRead on failure. */
CORVANE_API aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
/* The user's home directory: $HOME, else the password database entry. aErrNotFound when neither
 * names one, aErrOverrun when it does not fit. */
CORVANE_API aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
/* aDirectory_BuildPath with exactly two parts. */
CORVANE_API aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first,
                                     const char* second);
/* Joins first and the further parts up to a null part, adding a separator only where neither
 * the text so far ends with one nor the part begins with one (and never after an empty text).
 * aErrParam: buffer is null, size 0, first null, a part lies inside buffer (buffer untouched),
 * or more than aDIRECTORY_MAX_PARTS parts. aErrOverrun: the result does not fit; the room for
 * a part is size - length - 1, less 4 when a separator is added. The buffer is empty on error. */
CORVANE_API aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

CORVANE_EXTERN_C_END

#endif
