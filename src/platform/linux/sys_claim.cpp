// Linux backend of exclusive claims: an advisory lock (flock) on a file in a directory that
// belongs to the user, under $XDG_RUNTIME_DIR or else /tmp.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

// The user's claim directory, made when missing. It must be a real directory of this user that
// nobody else may write to, or someone else could hold (or fake) every claim in it.
aErr claimDirectory(std::string& out) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
        out = std::string(runtime) + "/corvane-claims";
    else
        out = "/tmp/corvane-claims-" + std::to_string(getuid());
    if (mkdir(out.c_str(), 0700) != 0 && errno != EEXIST)
        return errorFromSystem(errno);
    if (lstat(out.c_str(), &st) != 0)
        return errorFromSystem(errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return aErrPermission;
    return aErrNone;
}

} // namespace

aErr claimExclusive(const char* name, ClaimHandle& out) {
    out = noClaim;
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return aErrParam;
    std::string directory;
    if (const aErr err = claimDirectory(directory); err != aErrNone)
        return err;
    const std::string path = directory + "/" + name;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errorFromSystem(errno);
    // Each open is a holder of its own, so a second claim in the same process is refused too,
    // as a second claim of one USB interface is.
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? aErrBusy : errorFromSystem(error);
    }
    out = fd;
    return aErrNone;
}

void releaseClaim(ClaimHandle claim) {
    if (claim != noClaim)
        close(claim); // ends the lock with the last descriptor of this open
}

} // namespace corvane::platform
