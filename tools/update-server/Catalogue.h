// The update server's catalogue: a directory of BIRD files, firmware identifiers, tokens and a
// chip-fingerprint recovery table, read on each request so a lab can change it while serving.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace updateserver {

// One build a module can be given: the BIRD file named <build>.bird in the module's folder.
struct CatalogueBuild {
    uint32_t build = 0;
    std::string version; // info-block version text; empty when the file has no info block
    std::filesystem::path path;
};

struct RecoveryEntry {
    uint32_t serial = 0;
    uint32_t build = 0;
};

class Catalogue {
  public:
    using ChipId = std::array<uint32_t, 4>;

    explicit Catalogue(std::filesystem::path root) : root_(std::move(root)) {}

    const std::filesystem::path& root() const { return root_; }

    // The module's builds in ascending build order; nullopt when the catalogue has no folder for
    // it. Files that are not BIRD files, or whose name is not a build number, are left out;
    // problems are added to warnings (when given).
    std::optional<std::vector<CatalogueBuild>>
    builds(uint32_t serial, std::vector<std::string>* warnings = nullptr) const;
    // The build handed out as "latest": the newest version; equal versions, and files whose
    // version is missing or no version to the Updater either (which rank below every version),
    // go to the higher build number.
    static std::optional<CatalogueBuild> latest(const std::vector<CatalogueBuild>& builds);

    // The first line of the module's "firmware" / "token" file, trimmed; empty when absent.
    std::string firmwareId(uint32_t serial) const;
    std::string token(uint32_t serial) const;

    // The reply that carries a build: "ok", its BIRD file in Base64 and a line feed. Requests for
    // the same unchanged file share one copy while any of them still sends it (the newest copy
    // is kept a while longer); null (with the reason in warnings) when the file cannot be read.
    std::shared_ptr<const std::string> birdReply(const CatalogueBuild& build,
                                                 std::vector<std::string>& warnings) const;

    // The "recovery" table's entry for a chip fingerprint; malformed lines are skipped and named
    // in warnings.
    std::optional<RecoveryEntry> recovery(const ChipId& chip,
                                          std::vector<std::string>* warnings = nullptr) const;

    static std::string serialText(uint32_t serial);

  private:
    // True when path, its symbolic links followed, lies inside the catalogue.
    bool inside(const std::filesystem::path& path) const;
    std::filesystem::path moduleFolder(uint32_t serial) const { return root_ / serialText(serial); }
    // The version of one BIRD file, or nullopt when it does not load. Cached by path, size and
    // modification time, so a large catalogue is decompressed once.
    std::optional<std::string> versionOf(const std::filesystem::path& path) const;

    struct CachedVersion {
        std::filesystem::file_time_type modified;
        uintmax_t size = 0;
        std::optional<std::string> version;
    };

    struct SharedReply {
        std::filesystem::file_time_type modified;
        uintmax_t size = 0;
        std::weak_ptr<const std::string> reply;
    };

    std::filesystem::path root_;
    mutable std::mutex cacheMutex_; // guards cache_ and replies_
    mutable std::map<std::filesystem::path, CachedVersion> cache_;
    mutable std::map<std::filesystem::path, SharedReply> replies_;
    mutable std::shared_ptr<const std::string> newestReply_; // kept beyond its requests
};

} // namespace updateserver
