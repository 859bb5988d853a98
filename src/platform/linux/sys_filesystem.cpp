// Linux backend of the path procedures: stat, mkdir, rmdir, unlink, directory listing and the
// well-known directories (working, executable, home).
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace corvane::platform {

namespace {

PathKind kindOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return PathKind::directory;
    if (S_ISREG(st.st_mode))
        return PathKind::file;
    return PathKind::other;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

} // namespace

aErr pathInfo(const char* path, bool followLinks, PathInfo& info) {
    info = PathInfo{};
    struct stat st {};
    if ((followLinks ? stat(path, &st) : lstat(path, &st)) != 0)
        return errorFromSystem(errno);
    info.kind = kindOf(st);
    info.isLink = S_ISLNK(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    return aErrNone;
}

aErr makeDirectory(const char* path) {
    // rwxr-xr-x at most: others may read what the library stores, never change it. The process
    // umask narrows the bits further as the user has chosen.
    if (mkdir(path, 0755) != 0)
        return errorFromSystem(errno);
    return aErrNone;
}

aErr removeDirectory(const char* path) {
    if (rmdir(path) != 0)
        return errorFromSystem(errno);
    return aErrNone;
}

aErr removeFile(const char* path) {
    if (unlink(path) != 0) {
        // unlink reports a directory as EISDIR (or EPERM on some file systems); both mean "not a
        // file", which callers see as a plain failure rather than a permission problem.
        int error = errno;
        if (error == EISDIR)
            return aErrIO;
        if (error == EPERM) {
            struct stat st {};
            if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode))
                return aErrIO;
        }
        return errorFromSystem(error);
    }
    return aErrNone;
}

aErr listDirectory(const char* path, const std::function<bool(const DirectoryEntry&)>& visit) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(path));
    if (!dir)
        return errorFromSystem(errno);
    const int fd = dirfd(dir.get());
    for (;;) {
        errno = 0;
        const dirent* found = readdir(dir.get());
        if (!found)
            return errno == 0 ? aErrNone : errorFromSystem(errno);
        DirectoryEntry entry{found->d_name, false, false, 0};
        struct stat st {};
        if (fstatat(fd, found->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.isLink = S_ISLNK(st.st_mode);
            if (entry.isLink && fstatat(fd, found->d_name, &st, 0) != 0)
                st = {}; // a dangling link: neither a directory nor sized
            entry.isDirectory = S_ISDIR(st.st_mode);
            entry.size = static_cast<uint64_t>(st.st_size);
        } else if (found->d_type == DT_DIR) {
            entry.isDirectory = true; // vanished or unreadable: trust the listing's own type
        }
        if (!visit(entry))
            return aErrNone;
    }
}

aErr currentDirectory(std::string& out) {
    std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
    if (!cwd) {
        aErr err = errorFromSystem(errno);
        return err == aErrPermission ? err : aErrIO;
    }
    out = cwd.get();
    return aErrNone;
}

aErr executablePath(std::string& out) {
    // readlink does not say when it truncates, so grow until the link fits with room to spare.
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return aErrNotFound;
        if (static_cast<size_t>(length) < buffer.size()) {
            out.assign(buffer.data(), static_cast<size_t>(length));
            return aErrNone;
        }
        if (buffer.size() >= 65536)
            return aErrFileNameLength;
        buffer.resize(buffer.size() * 2);
    }
}

aErr homeDirectory(std::string& out) {
    const char* home = getenv("HOME");
    if (home && *home) {
        out = home;
        return aErrNone;
    }
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
    passwd record{};
    passwd* result = nullptr;
    int error;
    while ((error = getpwuid_r(getuid(), &record, buffer.data(), buffer.size(), &result)) ==
               ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (error != 0 || !result || !result->pw_dir || !*result->pw_dir)
        return aErrNotFound;
    out = result->pw_dir;
    return aErrNone;
}

} // namespace corvane::platform
