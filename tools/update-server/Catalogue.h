// The update server's catalogue: a directory of BIRD files, firmware identifiers, tokens and a
// chip-fingerprint recovery table, read on each request so a lab can change it while serving.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <vector>

namespace updateserver {

class BirdReplySource;
class VersionIndex;

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

// At most this many BIRD files are decompressed at once, whatever the number of requests; the
// others wait for one of them to finish (each is bounded by the BIRD image limit).
inline constexpr std::ptrdiff_t kMaxConcurrentDecodes = 2;

class Catalogue {
  public:
    using ChipId = std::array<uint32_t, 4>;

    // Takes the BIRD image limit in force (see BirdFile.h); files that cannot hold an image
    // within it are left out of every list.
    explicit Catalogue(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }

    // The module's builds in ascending build order; nullopt when the catalogue has no folder for
    // it. Files that are not BIRD files, are larger than any BIRD file within the image limit, or
    // whose name is not a build number, are left out; problems are added to warnings (when
    // given).
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

    // For a process that answers a single request (the CGI front end): birdSource opens BIRD
    // files for their replies to be encoded as they are sent, and versions read are kept in the
    // catalogue's index on disk (VersionIndex.h) for the processes after this one.
    void answerOneRequest();
    bool answersOneRequest() const { return index_ != nullptr; }
    // The file of build opened for its reply (see BirdReplyStream.h), with birdReply's checks;
    // null (with the reason in warnings) when the file cannot be read.
    std::shared_ptr<BirdReplySource> birdSource(const CatalogueBuild& build,
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
    // Which file a path named when it was read: a file replaced, rewritten or touched since
    // (even with its old size and modification time restored) differs in one of these.
    struct FileIdentity {
        uint64_t device = 0;
        uint64_t inode = 0;
        uint64_t size = 0;
        int64_t modifiedNs = 0;
        int64_t changedNs = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    static std::optional<FileIdentity> identityOf(const std::filesystem::path& path);
    // The index key of a file read under the image limit in force.
    std::string indexKey(const FileIdentity& identity) const;

    // The version of one BIRD file as its info block gives it, read by the streaming reader that
    // keeps nothing of the image; nullopt with the reason in problem when it has none to give.
    // Cached by path and file identity, so a file is read once while it stays the same; requests
    // that want the same file at the same time share one read.
    std::optional<std::string> versionOf(const std::filesystem::path& path,
                                         std::string& problem) const;
    // Drops the cached versions of folder's files that are no longer among present.
    void forgetOthers(const std::filesystem::path& folder,
                      const std::vector<std::filesystem::path>& present) const;

    struct VersionResult {
        std::optional<std::string> version;
        std::string problem;
    };
    struct CachedVersion {
        FileIdentity identity;
        std::shared_future<VersionResult> result;
    };

    struct SharedReply {
        FileIdentity identity;
        std::weak_ptr<const std::string> reply;
    };

    std::filesystem::path root_;
    uint64_t imageLimit_ = 0;
    uint64_t fileLimit_ = 0; // the largest file that can hold an image within imageLimit_
    mutable std::counting_semaphore<kMaxConcurrentDecodes> decodes_{kMaxConcurrentDecodes};
    mutable std::mutex cacheMutex_; // guards cache_ and replies_
    mutable std::map<std::filesystem::path, CachedVersion> cache_;
    mutable std::map<std::filesystem::path, SharedReply> replies_;
    mutable std::shared_ptr<const std::string> newestReply_; // kept beyond its requests
    std::shared_ptr<const VersionIndex> index_;              // set by answerOneRequest
};

} // namespace updateserver
