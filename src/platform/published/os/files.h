// What the updater library shares with the link library in the platform layer: paths,
// directory listings, file handles and the store's file procedures. One backend per OS lives in
// platform/<os>/; nothing here exposes errno or the meaning of a system handle.
#ifndef CORVANE_OS_FILES_H
#define CORVANE_OS_FILES_H

#include "corvane/aError.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane::platform {

// ---- Paths ---------------------------------------------------------------------------------

enum class PathKind { missing, directory, file, other };

struct PathInfo {
    PathKind kind = PathKind::missing;
    bool isLink = false; // the path itself is a symbolic link (only when links are not followed)
    uint64_t size = 0;
};

// Describes path. followLinks false describes a symbolic link itself.
// aErrNotFound (kind missing), aErrPermission, aErrFileNameLength or aErrIO.
aErr pathInfo(const char* path, bool followLinks, PathInfo& info);

// Removes a non-directory entry: aErrNotFound, aErrPermission, aErrIO (a directory included).
aErr removeFile(const char* path);

struct DirectoryEntry {
    const char* name; // entry name without the directory
    bool isDirectory; // after following a symbolic link
    bool isLink;      // the entry itself is a symbolic link
    uint64_t size;    // of the entry (of its target for a link), 0 when unknown
};
// Calls visit for every entry, "." and ".." included, in the system's order, until it returns
// false. aErrNotFound, aErrPermission or aErrIO when the directory cannot be opened.
aErr listDirectory(const char* path, const std::function<bool(const DirectoryEntry&)>& visit);

// ---- Files ---------------------------------------------------------------------------------

using FileHandle = int;
constexpr FileHandle invalidFile = -1;

// Reads until count bytes or the end of the file; got holds what was read even on failure.
aErr readFile(FileHandle file, void* buffer, size_t count, size_t& got);
// Writes all count bytes; put holds what was written even on failure. aErrMedia when full.
aErr writeFile(FileHandle file, const void* buffer, size_t count, size_t& put);
// Forces written data to the storage device. aErrMedia/aErrIO when the data may be lost;
// aErrNone for files that cannot be synchronised (pipes, special files).
aErr syncFile(FileHandle file);
// Closes the handle; aErrIO when the system reports a failure (the handle is gone either way).
aErr closeFile(FileHandle file);

// ---- Store files ---------------------------------------------------------------------------

// Opens path for reading only when it is a regular file; a named pipe or device never blocks the
// open and is refused with aErrMode, as is a directory. size receives the file's size.
aErr openRegularFile(const char* path, FileHandle& out, uint64_t& size);
// Creates path for writing, rw-r--r-- at most; aErrDuplicate when something is already there.
aErr createExclusiveFile(const char* path, FileHandle& out);
// Renames from to to, replacing what to names (not a directory) in one step.
aErr renamePath(const char* from, const char* to);
// Makes the entries of a directory (a rename into it) durable.
aErr syncDirectory(const char* path);
// Whether a rename may put a new file at path where opening path for writing could: path is not
// empty, at most maxLength bytes, does not end in "/", and names nothing or (after symbolic
// links) a regular file this process may write. aErrNone then; else aErrNotFound (empty),
// aErrFileNameLength, aErrMode (a directory or another kind of file), or aErrPermission or
// aErrIO as the system says when it may not be written.
aErr checkReplaceable(const char* path, size_t maxLength);
// This process, and whether a process with that identifier still runs.
uint32_t currentProcessId();
bool processExists(uint32_t id);

// ---- Error numbers for trace lines ---------------------------------------------------------

// The system's error number of the last store call above (openRegularFile to checkReplaceable)
// on this thread, 0 when it succeeded; for trace lines that show it.
int lastSystemError();
// The system's words for an error number.
std::string systemErrorText(int systemError);

} // namespace corvane::platform

#endif
