// Whole-file replacement for the store: the bytes go to a hidden temporary file in the target's
// directory, are synced, and the temporary file is renamed over the target.
#pragma once

#include <corvane/aError.h>

#include <cstddef>
#include <string>

// Replaces path with exactly length bytes of data. Readers and crashes see either the old file
// or the complete new one. Returns aErrNone once the new file is in place; aErrNotFound when
// opening path for writing would fail (empty, longer than aFILE_MAXPATH, a directory or other
// file that is not a regular one, a file this user may not write) or the temporary file cannot
// be created; aErrWrite when writing, syncing or renaming fails. On any failure the old file is
// untouched and no temporary file is left. systemError (when given) receives the system's error
// number of the failing call where it has one, else 0. Temporary files in the directory whose
// writer has died are swept first.
aErr writeFileAtomically(const std::string& path, const void* data, size_t length,
                         int* systemError = nullptr);

// Removes the temporary files of directory whose writing process no longer runs.
void sweepStaleTemporaries(const std::string& directory);
