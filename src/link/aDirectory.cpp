// Directory helpers over the platform layer: existence, recursive creation, listing, deletion,
// well-known directories and the bounded path builder.
#include "corvane/aDirectory.h"

#include "cApiGuard.h"
#include "platform/platform.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace platform = corvane::platform;
using corvane::guardedCall;

namespace {

constexpr char separator = aDIRECTORY_SEPARATOR;

bool isDirectory(const char* path) {
    platform::PathInfo info;
    return platform::pathInfo(path, true, info) == aErrNone &&
           info.kind == platform::PathKind::directory;
}

std::string joined(const std::string& directory, const char* name) {
    std::string path = directory;
    if (path.empty() || path.back() != separator)
        path += separator;
    return path += name;
}

// Copies text into buffer when it fits with its terminator.
bool copyOut(const std::string& text, char* buffer, size_t size) {
    if (text.size() >= size)
        return false;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

bool isDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Deletes the contents of directory, then the directory. The names are collected before anything
// is removed, since a listing that changes under it may skip or repeat entries. Symbolic links
// are removed, never followed: a link to elsewhere must not empty its target.
aErr deleteTree(const std::string& directory) {
    std::vector<std::pair<std::string, bool>> children; // name, is a real directory
    aErr listed = platform::listDirectory(directory.c_str(), [&](const auto& entry) {
        if (!isDotEntry(entry.name))
            children.emplace_back(entry.name, entry.isDirectory && !entry.isLink);
        return true;
    });
    if (listed != aErrNone)
        return aErrParam;
    for (const auto& [name, isSubdirectory] : children) {
        const std::string child = joined(directory, name.c_str());
        aErr err = isSubdirectory ? deleteTree(child) : platform::removeFile(child.c_str());
        if (err != aErrNone)
            break; // what is left makes the directory's own removal fail below
    }
    return platform::removeDirectory(directory.c_str()) == aErrNone ? aErrNone : aErrUnknown;
}

// Creates one directory of the walk; something that already exists must be a directory.
bool createOne(const char* path) {
    aErr err = platform::makeDirectory(path);
    return err == aErrNone || (err == aErrDuplicate && isDirectory(path));
}

bool overlaps(const char* part, const char* buffer, size_t size) {
    const auto p = reinterpret_cast<uintptr_t>(part);
    const auto b = reinterpret_cast<uintptr_t>(buffer);
    return p >= b && p < b + size;
}

// The path builder behind BuildPath and JoinPath; parts holds the further parts.
aErr buildPath(char* buffer, size_t size, const char* first, const char* const* parts,
               size_t count) {
    if (!buffer || size == 0 || !first)
        return aErrParam;
    // A part inside the destination would be overwritten while it is read.
    if (overlaps(first, buffer, size))
        return aErrParam;
    for (size_t i = 0; i < count; ++i)
        if (overlaps(parts[i], buffer, size))
            return aErrParam;
    buffer[0] = '\0';
    if (count > aDIRECTORY_MAX_PARTS - 1)
        return aErrParam;

    const auto limit = static_cast<int64_t>(size);
    size_t length = strlen(first);
    if (static_cast<int64_t>(length) >= limit - 1)
        return aErrOverrun;
    memcpy(buffer, first, length + 1);

    for (size_t i = 0; i < count; ++i) {
        const char* part = parts[i];
        int64_t room = limit - static_cast<int64_t>(length) - 1;
        // An empty text so far stays relative: "" + "b" is "b", not "/b".
        const bool needsSeparator =
            length > 0 && buffer[length - 1] != separator && *part != separator;
        if (room > 1 && needsSeparator) {
            buffer[length++] = separator;
            buffer[length] = '\0';
            room -= 4; // the sizing rule charges 4 bytes for the one separator byte
        }
        const size_t partLength = strlen(part);
        if (static_cast<int64_t>(partLength) >= room) {
            buffer[0] = '\0';
            return aErrOverrun;
        }
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

} // namespace

bool aDirectory_Exists(const char* path) {
    if (!path)
        return false;
    if (strcmp(path, ".") == 0 || strcmp(path, "./") == 0) {
        return corvane::guardedValue(false, [] {
            std::string cwd;
            return platform::currentDirectory(cwd) == aErrNone && isDirectory(cwd.c_str());
        });
    }
    return isDirectory(path);
}

aErr aDirectory_Ensure(const char* path) {
    if (!path || !*path)
        return aErrParam;
    if (isDirectory(path))
        return aErrNone;
    return guardedCall([&] {
        std::string copy(path);
        // Find the deepest existing ancestor so only the missing tail is created.
        size_t start = 0;
        for (size_t cut = copy.rfind(separator); cut != std::string::npos && cut > 0;
             cut = copy.rfind(separator, cut - 1)) {
            if (isDirectory(copy.substr(0, cut).c_str())) {
                start = cut + 1;
                break;
            }
        }
        size_t componentStart = start;
        for (size_t cut = copy.find(separator, start); cut != std::string::npos;
             cut = copy.find(separator, cut + 1)) {
            if (cut > componentStart) {
                const std::string prefix = copy.substr(0, cut);
                if (!isDirectory(prefix.c_str()) && !createOne(prefix.c_str()))
                    return aErrPermission;
            }
            componentStart = cut + 1;
        }
        // A file in the way makes this fail: only a directory at path is success.
        if (!isDirectory(path) && !createOne(path))
            return aErrPermission;
        return aErrNone;
    });
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* reference) {
    if (!path || !proc)
        return aErrParam;
    return guardedCall([&] {
        const std::string directory(path);
        aErr result = aErrNone;
        aErr listed = platform::listDirectory(path, [&](const platform::DirectoryEntry& found) {
            aDirectoryEntry entry{};
            if (!copyOut(joined(directory, found.name), entry.path, sizeof entry.path)) {
                result = aErrFileNameLength; // never hand out a cut-off path
                return false;
            }
            entry.size = static_cast<uint32_t>(found.size);
            entry.isDirectory = found.isDirectory;
            return proc(&entry, reference);
        });
        return listed != aErrNone ? aErrParam : result;
    });
}

aErr aDirectory_Delete(const char* path) {
    if (!path)
        return aErrParam;
    return platform::removeDirectory(path) == aErrNone ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path)
        return aErrParam;
    platform::PathInfo info;
    if (platform::pathInfo(path, false, info) != aErrNone ||
        info.kind != platform::PathKind::directory)
        return aErrParam;
    return guardedCall([&] { return deleteTree(path); });
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0)
        return aErrParam;
    return guardedCall([&] {
        std::string cwd;
        if (platform::currentDirectory(cwd) != aErrNone || !copyOut(cwd, buffer, size))
            return aErrParam;
        return aErrNone;
    });
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0)
        return aErrParam;
    return guardedCall([&] {
        std::string path;
        if (platform::executablePath(path) != aErrNone || !copyOut(path, buffer, size))
            return aErrRead;
        return aErrNone;
    });
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    return guardedCall([&] {
        std::string home;
        if (platform::homeDirectory(home) != aErrNone)
            return aErrNotFound;
        return copyOut(home, buffer, size) ? aErrNone : aErrOverrun;
    });
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    if (!second)
        return buildPath(buffer, size, first, nullptr, 0);
    return buildPath(buffer, size, first, &second, 1);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    // One more slot than allowed, so a list that is too long is seen without reading past it.
    const char* parts[aDIRECTORY_MAX_PARTS];
    size_t count = 0;
    va_list args;
    va_start(args, first);
    while (count < aDIRECTORY_MAX_PARTS) {
        const char* part = va_arg(args, const char*);
        if (!part)
            break;
        parts[count++] = part;
    }
    va_end(args);
    return buildPath(buffer, size, first, parts, count);
}
