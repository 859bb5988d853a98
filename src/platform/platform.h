// The operating-system procedures the link library needs; one backend per OS lives in
// platform/<os>/. Nothing above this header sees errno or a system handle type's meaning. What
// the updater library shares with it (store files, directory listings) is in os/files.h.
#ifndef CORVANE_PLATFORM_H
#define CORVANE_PLATFORM_H

#include "corvane/aError.h"
#include "os/files.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane::platform {

// ---- Clock ---------------------------------------------------------------------------------

// Milliseconds of a monotonic clock with an arbitrary origin; never goes backwards.
uint64_t monotonicMilliseconds();
// Sleeps at least ms milliseconds, resuming after signals; 0 returns at once.
void sleepMilliseconds(uint32_t ms);

// ---- Paths ---------------------------------------------------------------------------------

// Creates one directory, rwxr-xr-x at most (narrowed by the umask). aErrDuplicate when something
// already exists there, aErrNotFound when a parent is missing or not a directory, aErrPermission,
// aErrMedia (no space), aErrIO.
aErr makeDirectory(const char* path);
// Removes an empty directory: aErrNotFound, aErrPermission, aErrBusy (not empty or in use), aErrIO.
aErr removeDirectory(const char* path);
// aErrIO (working directory gone), aErrPermission.
aErr currentDirectory(std::string& out);
// Full path of the running program. aErrNotFound when the system cannot tell.
aErr executablePath(std::string& out);
// $HOME when set and not empty, else the password database entry of the real user.
// aErrNotFound when neither names one.
aErr homeDirectory(std::string& out);

// ---- Files ---------------------------------------------------------------------------------

enum class OpenMode {
    readExisting,  // existing file, reading
    writeTruncate, // created or truncated, writing
    readWrite      // opened or created, reading and writing, positioned at the end
};

// Opens path; the handle is not inherited by child processes.
// aErrNotFound, aErrPermission, aErrFileNameLength, aErrResource (too many open), aErrIO.
aErr openFile(const char* path, OpenMode mode, FileHandle& out);

enum class SeekOrigin { start, current, end };
// Moves to offset from origin and reports the new position. aErrRange, aErrIO.
aErr seekFile(FileHandle file, int64_t offset, SeekOrigin origin, uint64_t& position);
aErr fileSize(FileHandle file, uint64_t& size);

// Waits at most timeoutMs in one system call until one of count descriptors has input, and
// sets ready[i] for each that has. aErrNone then, aErrNotReady when the time ran out (or a
// signal came), aErrIO when the wait failed.
aErr waitAnyReadable(const int* fds, bool* ready, size_t count, uint32_t timeoutMs);

// ---- Wake-ups ------------------------------------------------------------------------------

// A descriptor that one thread raises to end another's waitAnyReadable on it early. Once raised
// it stays readable until cleared, so a raise that comes just before the wait begins is not
// lost.
using WakeHandle = int;
constexpr WakeHandle noWake = -1;

// aErrResource when the system has none to give.
aErr makeWake(WakeHandle& out);
// Waits at most timeoutMs until fd has input, or an end or fault a read will report, or wake
// is raised: aErrNone for fd, aErrCancel once woken (whether or not fd has input too),
// aErrNotReady when the time ran out, aErrIO when the wait failed.
aErr awaitReadableOrWake(int fd, WakeHandle wake, uint32_t timeoutMs);
// Each ignores noWake.
void raiseWake(WakeHandle wake);
void clearWake(WakeHandle wake);
void closeWake(WakeHandle wake);

// ---- Watch sets ----------------------------------------------------------------------------

// Descriptors that one thread waits on together for input, any of which another thread may
// mute meanwhile without waking it: a thread that reads a device for itself keeps the device's
// watcher asleep instead of sharing every arrival with it.
using WatchSet = int;
constexpr WatchSet noWatchSet = -1;

// aErrResource when the system has none to give.
aErr makeWatchSet(WatchSet& out);
// Adds fd, muted or not; a member already stays as it is. aErrIO when the set refuses it.
aErr addToWatchSet(WatchSet set, int fd, bool muted);
// Mutes or unmutes a member. A muted member's input ends no wait, nor does an orderly end of
// its input; a hang-up or fault still does. Unmuting one that has input ends a wait at once.
// aErrIO when fd is no member.
aErr muteInWatchSet(WatchSet set, int fd, bool muted);
// Takes fd out of the set before it is closed; one that is no member is ignored.
void removeFromWatchSet(WatchSet set, int fd);
// Waits at most timeoutMs until an unmuted member has input, or an end or fault that a read
// will report, and sets ready[i] for each of the count descriptors fds[i] that has. aErrNone
// then, aErrNotReady when the time ran out (or a signal came), aErrIO when the wait failed.
aErr awaitWatchSet(WatchSet set, const int* fds, bool* ready, size_t count, uint32_t timeoutMs);
// Ignores noWatchSet.
void closeWatchSet(WatchSet set);

// ---- Exclusive claims ----------------------------------------------------------------------

// A claim on a name that one holder at a time may have, across the processes of this user: a
// device the platform has no claim of its own for (an emulated USB module) gets one here. The
// kernel lets go of it when the holder ends, however it ends.
using ClaimHandle = int;
constexpr ClaimHandle noClaim = -1;

// Takes the claim on name (a file name: no "/"), kept in a directory of this user's own.
// aErrBusy when another handle holds it, in this process or another; aErrParam for a name
// that is no file name; aErrPermission or aErrIO when the claim cannot be recorded.
aErr claimExclusive(const char* name, ClaimHandle& out);
// Gives the claim up; noClaim is ignored.
void releaseClaim(ClaimHandle claim);

// ---- Errors --------------------------------------------------------------------------------

// The one translation of a system error number into the library's codes.
aErr errorFromSystem(int systemError);
// True when a call that failed with systemError only has to be made again: it would have
// blocked, or a signal interrupted it. (ZeroMQ reports its failures with these numbers too.)
bool isRetryableError(int systemError);

} // namespace corvane::platform

#endif
