// What the tools ask the file system beyond std::filesystem: a file's identity and times, to
// tell whether it changed since it was last read.
#pragma once

#include <cstdint>
#include <filesystem>

namespace Corvane::Tools::os {

struct FileStatus {
    uint64_t device = 0; // the volume
    uint64_t inode = 0;  // the file on it
    uint64_t size = 0;
    int64_t modifiedNs = 0; // the contents' last change
    int64_t changedNs = 0;  // the contents' or the file's own last change (a rename, say)
};

// False when the file cannot be looked at (missing, no permission).
bool fileStatus(const std::filesystem::path& path, FileStatus& out);

// Standard output written byte for byte: a CGI reply's headers and body leave exactly as written,
// where a Windows console program would turn each line feed into CR LF.
void binaryStandardOutput();

} // namespace Corvane::Tools::os
