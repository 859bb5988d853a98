// Linux backend of what the updater store needs beyond plain file handles: regular files opened
// without blocking, exclusive creation, rename, directory sync, whether a rename may replace a
// path and whether a writer still lives.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

thread_local int lastError = 0;

aErr failed(int error) {
    lastError = error;
    return errorFromSystem(error);
}

} // namespace

aErr openRegularFile(const char* path, FileHandle& out, uint64_t& size) {
    out = invalidFile;
    size = 0;
    lastError = 0;
    int fd;
    // O_NONBLOCK: a named pipe or a device must never hold the open; it is refused below.
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return failed(errno);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return failed(error);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        lastError = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return aErrMode;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        const int error = errno;
        close(fd);
        return failed(error);
    }
    size = static_cast<uint64_t>(st.st_size);
    out = fd;
    return aErrNone;
}

aErr createExclusiveFile(const char* path, FileHandle& out) {
    out = invalidFile;
    lastError = 0;
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return failed(errno);
    }
    out = fd;
    return aErrNone;
}

aErr renamePath(const char* from, const char* to) {
    lastError = 0;
    return rename(from, to) == 0 ? aErrNone : failed(errno);
}

aErr syncDirectory(const char* path) {
    lastError = 0;
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return failed(errno);
    }
    const aErr err = fsync(fd) == 0 || errno == EINVAL ? aErrNone : failed(errno);
    close(fd);
    return err;
}

aErr checkReplaceable(const char* path, size_t maxLength) {
    lastError = 0;
    const size_t length = strlen(path);
    if (length == 0) {
        lastError = ENOENT;
        return aErrNotFound;
    }
    if (length > maxLength) {
        lastError = ENAMETOOLONG;
        return aErrFileNameLength;
    }
    struct stat st {};
    const bool exists = stat(path, &st) == 0;
    if (path[length - 1] == '/' || (exists && !S_ISREG(st.st_mode))) {
        lastError = exists && !S_ISDIR(st.st_mode) ? EINVAL : EISDIR;
        return aErrMode;
    }
    // Only an existing file can refuse this user; for a new one the creation decides.
    return !exists || access(path, W_OK) == 0 ? aErrNone : failed(errno);
}

uint32_t currentProcessId() {
    return static_cast<uint32_t>(getpid());
}

bool processExists(uint32_t id) {
    if (id == 0 || id > static_cast<uint32_t>(INT32_MAX)) {
        return false;
    }
    // EPERM: the process is there but belongs to someone else.
    return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

int lastSystemError() {
    return lastError;
}

} // namespace corvane::platform
