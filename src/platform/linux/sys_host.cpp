// Linux backend of os/host.h: the password and group databases, stat and access on a node,
// /proc for the running programs and statvfs for the room on a file system.
#include "os/host.h"

#include "platform/platform.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvane::platform {

namespace {

// The reentrant lookups want a buffer; the system suggests its size, which entries with long
// member lists may still exceed.
constexpr size_t kMaxLookupBuffer = size_t{1} << 20;

size_t suggestedBuffer(int name) {
    const long size = sysconf(name);
    return size > 0 ? static_cast<size_t>(size) : 4096;
}

template <typename Lookup> bool withGrowingBuffer(size_t start, Lookup lookup) {
    for (size_t size = start; size <= kMaxLookupBuffer; size *= 2) {
        std::string buffer(size, '\0');
        const int rc = lookup(buffer.data(), buffer.size());
        if (rc != ERANGE) {
            return rc == 0;
        }
    }
    return false;
}

std::string groupName(gid_t gid) {
    std::string name = std::to_string(gid);
    withGrowingBuffer(suggestedBuffer(_SC_GETGR_R_SIZE_MAX), [&](char* buffer, size_t size) {
        group entry{};
        group* found = nullptr;
        const int rc = getgrgid_r(gid, &entry, buffer, size, &found);
        if (rc == 0 && found != nullptr) {
            name = found->gr_name;
        }
        return rc;
    });
    return name;
}

} // namespace

UserAccount currentUser() {
    UserAccount account;
    const uid_t uid = geteuid();
    account.privileged = uid == 0;
    account.name = std::to_string(uid);
    withGrowingBuffer(suggestedBuffer(_SC_GETPW_R_SIZE_MAX), [&](char* buffer, size_t size) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = getpwuid_r(uid, &entry, buffer, size, &found);
        if (rc == 0 && found != nullptr) {
            account.name = found->pw_name;
        }
        return rc;
    });
    account.sessionGroups.push_back(groupName(getegid()));
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(count));
        const int got = getgroups(count, groups.data());
        for (int i = 0; i < got; ++i) {
            if (groups[static_cast<size_t>(i)] != getegid()) {
                account.sessionGroups.push_back(groupName(groups[static_cast<size_t>(i)]));
            }
        }
    }
    return account;
}

bool groupDatabaseLists(const std::string& groupText, const std::string& user) {
    bool listed = false;
    gid_t gid = 0;
    bool known = false;
    withGrowingBuffer(suggestedBuffer(_SC_GETGR_R_SIZE_MAX), [&](char* buffer, size_t size) {
        group entry{};
        group* found = nullptr;
        const int rc = getgrnam_r(groupText.c_str(), &entry, buffer, size, &found);
        if (rc == 0 && found != nullptr) {
            known = true;
            gid = found->gr_gid;
            for (char** member = found->gr_mem; *member != nullptr && !listed; ++member) {
                listed = user == *member;
            }
        }
        return rc;
    });
    if (listed || !known) {
        return listed;
    }
    withGrowingBuffer(suggestedBuffer(_SC_GETPW_R_SIZE_MAX), [&](char* buffer, size_t size) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = getpwnam_r(user.c_str(), &entry, buffer, size, &found);
        if (rc == 0 && found != nullptr) {
            listed = found->pw_gid == gid;
        }
        return rc;
    });
    return listed;
}

aErr pathGroup(const char* path, std::string& groupText) {
    struct stat info {};
    if (path == nullptr) {
        return aErrParam;
    }
    if (stat(path, &info) != 0) {
        return errorFromSystem(errno);
    }
    groupText = groupName(info.st_gid);
    return aErrNone;
}

bool mayReadAndWrite(const char* path) {
    return path != nullptr && access(path, R_OK | W_OK) == 0;
}

std::vector<std::string> runningPrograms() {
    std::vector<std::string> names;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
            continue; // not a process
        }
        const std::string path = std::string("/proc/") + entry->d_name + "/comm";
        FILE* file = std::fopen(path.c_str(), "re");
        if (file == nullptr) {
            continue; // ended meanwhile
        }
        char name[64] = {};
        if (std::fgets(name, sizeof name, file) != nullptr) {
            name[std::strcspn(name, "\n")] = '\0';
            names.emplace_back(name);
        }
        std::fclose(file);
    }
    closedir(proc);
    return names;
}

aErr freeSpace(const char* path, uint64_t& bytes) {
    struct statvfs info {};
    if (path == nullptr) {
        return aErrParam;
    }
    if (statvfs(path, &info) != 0) {
        return errorFromSystem(errno);
    }
    bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return aErrNone;
}

std::vector<std::string> serialPortNames() {
    std::vector<std::string> ports;
    DIR* dev = opendir("/dev");
    if (dev == nullptr) {
        return ports;
    }
    while (const dirent* entry = readdir(dev)) {
        for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
            const size_t length = strlen(prefix);
            if (strncmp(entry->d_name, prefix, length) == 0 && entry->d_name[length] != '\0' &&
                strspn(entry->d_name + length, "0123456789") == strlen(entry->d_name + length)) {
                ports.push_back(std::string("/dev/") + entry->d_name);
            }
        }
    }
    closedir(dev);
    std::sort(ports.begin(), ports.end());
    return ports;
}

} // namespace corvane::platform
