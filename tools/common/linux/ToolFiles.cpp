// Linux backend of the tools' file status: stat with nanosecond times.
#include "ToolFiles.h"

#include <sys/stat.h>

namespace Corvane::Tools::os {

namespace {

int64_t nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

bool fileStatus(const std::filesystem::path& path, FileStatus& out) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return false;
    out = FileStatus{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                     static_cast<uint64_t>(status.st_size), nanoseconds(status.st_mtim),
                     nanoseconds(status.st_ctim)};
    return true;
}

void binaryStandardOutput() {} // standard output is bytes already

} // namespace Corvane::Tools::os
