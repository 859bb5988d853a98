// The versions of a catalogue's BIRD files kept on disk beside it, so a CGI process (one request
// each) need not decompress every build of a module to list it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace updateserver {

// The folder inside the catalogue that holds the index; module folders are named by serial
// number, so it can never be one of them.
inline constexpr const char* kIndexFolderName = ".update-server-index";

// One entry per BIRD file, at <catalogue>/.update-server-index/<module>/<build>.bird.version,
// holding the key it was read under and what the read found. The key names the file exactly as
// it was read (device, inode, size, modification and change times) and the image limit then in
// force, so a build replaced or rewritten since is read again, never answered from the index.
// Every failure (no such folder, a folder this user may not write, a damaged entry) leaves the
// caller to read the file itself: the index can only save work, never refuse a request.
class VersionIndex {
  public:
    explicit VersionIndex(std::filesystem::path catalogue);

    // What a read of the file at path found, when the index has it under exactly this key: the
    // version, or nullopt with the reason in problem.
    struct Entry {
        std::optional<std::string> version;
        std::string problem;
    };
    std::optional<Entry> find(const std::filesystem::path& path, const std::string& key) const;

    // Keeps what a read found for the next process; silently does nothing when it cannot.
    void remember(const std::filesystem::path& path, const std::string& key,
                  const Entry& entry) const;

  private:
    // The entry's file for a BIRD file inside the catalogue; empty for one outside it.
    std::filesystem::path entryPath(const std::filesystem::path& path) const;

    std::filesystem::path catalogue_;
};

} // namespace updateserver
