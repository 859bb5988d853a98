// The accounts, processes and file systems of the machine, as far as a pre-flight check needs
// them to tell the user why a module cannot be reached: which groups this user runs with, who
// owns a device node, which programs run, how much room a folder has.
#ifndef CORVANE_OS_HOST_H
#define CORVANE_OS_HOST_H

#include "corvane/aError.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::platform {

struct UserAccount {
    std::string name;                       // the login name, or the user number as text
    bool privileged = false;                // the superuser: permissions do not stop it
    std::vector<std::string> sessionGroups; // the groups this process runs with, by name
};

// The user this process runs as.
UserAccount currentUser();

// Whether the group database makes user a member of group (listed in it, or its primary group).
// A member whose process does not run with the group joined it after logging in.
bool groupDatabaseLists(const std::string& group, const std::string& user);

// The name of the group that owns path (its number as text when it has no name).
// aErrNotFound, aErrPermission or aErrIO.
aErr pathGroup(const char* path, std::string& group);

// Whether the permissions of path let this process open it for reading and writing; nothing is
// opened.
bool mayReadAndWrite(const char* path);

// The names of the running programs as the system keeps them (cut to 15 characters), one per
// process.
std::vector<std::string> runningPrograms();

// The serial ports the system has, as the Updater's -s takes them (/dev/ttyUSB0, COM3), sorted.
std::vector<std::string> serialPortNames();

// Bytes that this user may still write on the file system that holds path.
// aErrNotFound, aErrPermission or aErrIO.
aErr freeSpace(const char* path, uint64_t& bytes);

} // namespace corvane::platform

#endif
