// The on-disk index of BIRD file versions for the CGI front end: one small entry file per build,
// replaced whole so a reader sees an old entry or a new one, never half of one.
#include "VersionIndex.h"

#include "AtomicFile.h"
#include "RegularFile.h"

#include <system_error>
#include <vector>

namespace updateserver {

namespace fs = std::filesystem;

namespace {

// The first line of every entry; an entry of another layout is read as missing.
constexpr const char* kMagic = "corvane-version-index 1";
// Entries are a few lines; anything longer is not one.
constexpr size_t kMaxEntryBytes = 64 * 1024;

// The lines of text; false unless it ends in a line feed.
bool splitLines(const std::string& text, std::vector<std::string>& lines) {
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return start == text.size();
}

bool startsWith(const std::string& text, const std::string& prefix, std::string& rest) {
    if (text.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    rest = text.substr(prefix.size());
    return true;
}

} // namespace

VersionIndex::VersionIndex(fs::path catalogue) : catalogue_(std::move(catalogue)) {}

fs::path VersionIndex::entryPath(const fs::path& path) const {
    const fs::path relative = path.lexically_relative(catalogue_);
    if (relative.empty() || *relative.begin() == "..") {
        return {};
    }
    return catalogue_ / kIndexFolderName / (relative.string() + ".version");
}

std::optional<VersionIndex::Entry> VersionIndex::find(const fs::path& path,
                                                      const std::string& key) const {
    const fs::path entryFile = entryPath(path);
    std::string text;
    if (entryFile.empty() ||
        readRegularFile(entryFile.string(), kMaxEntryBytes, text) != aErrNone) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    if (!splitLines(text, lines) || lines.size() != 3 || lines[0] != kMagic || lines[1] != key) {
        return std::nullopt;
    }
    Entry entry;
    std::string rest;
    if (startsWith(lines[2], "version ", rest)) {
        entry.version = rest;
    } else if (startsWith(lines[2], "problem ", rest) && !rest.empty()) {
        entry.problem = rest;
    } else {
        return std::nullopt;
    }
    return entry;
}

void VersionIndex::remember(const fs::path& path, const std::string& key,
                            const Entry& entry) const {
    const std::string& text = entry.version ? *entry.version : entry.problem;
    const fs::path entryFile = entryPath(path);
    // A line feed would end the entry early; such a file is simply read each time.
    if (entryFile.empty() || key.find('\n') != std::string::npos ||
        text.find('\n') != std::string::npos || (!entry.version && text.empty())) {
        return;
    }
    try {
        std::error_code error;
        fs::create_directories(entryFile.parent_path(), error);
        if (error) {
            return;
        }
        const std::string content = std::string(kMagic) + "\n" + key + "\n" +
                                    (entry.version ? "version " : "problem ") + text + "\n";
        writeFileAtomically(entryFile.string(), content.data(), content.size());
    } catch (const std::exception&) {
        // Out of memory at worst: the entry is merely not kept.
    }
}

} // namespace updateserver
