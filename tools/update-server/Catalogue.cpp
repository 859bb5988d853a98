// The update server's catalogue: module folders of BIRD files, identifiers, tokens and the
// recovery table.
#include "Catalogue.h"

#include "Base64.h"
#include "BirdFile.h"
#include "BuildText.h"
#include "RegularFile.h"
#include "SerialNumberText.h"
#include "ToolFiles.h"
#include "VersionIndex.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <tuple>

namespace updateserver {

namespace fs = std::filesystem;

namespace {

bool allOf(const std::string& text, const char* set) {
    return !text.empty() && text.find_first_not_of(set) == std::string::npos;
}

// Identifier, token and recovery files are a few lines; anything bigger is not one of them.
constexpr size_t kMaxTextFileBytes = size_t{1} << 20;

// The file's text; empty when it is missing, not a regular file (a named pipe would hold the
// worker for ever) or too large.
std::string textOf(const fs::path& path) {
    std::string text;
    if (readRegularFile(path.string(), kMaxTextFileBytes, text) != aErrNone) {
        return {};
    }
    return text;
}

std::string firstLine(const fs::path& path) {
    std::istringstream in(textOf(path));
    std::string line;
    if (!std::getline(in, line)) {
        return {};
    }
    const size_t begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return {};
    }
    return line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
}

// Holds one of the catalogue's decode slots for a scope.
class DecodeSlot {
  public:
    explicit DecodeSlot(std::counting_semaphore<kMaxConcurrentDecodes>& slots) : slots_(slots) {
        slots_.acquire();
    }
    ~DecodeSlot() { slots_.release(); }
    DecodeSlot(const DecodeSlot&) = delete;
    DecodeSlot& operator=(const DecodeSlot&) = delete;

  private:
    std::counting_semaphore<kMaxConcurrentDecodes>& slots_;
};

} // namespace

Catalogue::Catalogue(fs::path root) : root_(std::move(root)) {
    std::string ignored; // the server refuses to start on a bad setting; the default holds here
    birdImageLimit(imageLimit_, ignored);
    fileLimit_ = birdFileSizeLimit(imageLimit_);
}

bool Catalogue::inside(const fs::path& path) const {
    std::error_code error;
    const fs::path root = fs::canonical(root_, error);
    const fs::path real = error ? fs::path() : fs::weakly_canonical(path, error);
    if (error) {
        return false;
    }
    const auto [end, unused] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
    return end == root.end();
}

std::shared_ptr<const std::string> Catalogue::birdReply(const CatalogueBuild& build,
                                                        std::vector<std::string>& warnings) const {
    const auto identity = identityOf(build.path);
    if (identity) {
        std::lock_guard lock(cacheMutex_);
        const auto it = replies_.find(build.path);
        if (it != replies_.end() && it->second.identity == *identity) {
            if (auto shared = it->second.reply.lock()) {
                return shared;
            }
        }
    }
    std::string bytes;
    // The listing left out larger files; one that grew since is refused, not held in memory.
    if (!identity || !inside(build.path) ||
        readRegularFile(build.path.string(), static_cast<size_t>(fileLimit_), bytes) != aErrNone) {
        warnings.push_back(build.path.string() + ": read failed");
        return nullptr;
    }
    auto reply = std::make_shared<std::string>();
    reply->reserve(3 + (bytes.size() + 2) / 3 * 4 + 1);
    *reply += "ok\n";
    base64Append(*reply, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    *reply += "\n";
    std::lock_guard lock(cacheMutex_);
    // Entries whose replies are all sent go, so the map never outgrows the catalogue; the newest
    // reply stays for the next request, which is often for the same build.
    std::erase_if(replies_, [](const auto& entry) { return entry.second.reply.expired(); });
    replies_[build.path] = SharedReply{*identity, reply};
    newestReply_ = reply;
    return reply;
}

std::string Catalogue::serialText(uint32_t serial) {
    return serialNumberText(serial);
}

std::optional<Catalogue::FileIdentity> Catalogue::identityOf(const fs::path& path) {
    Corvane::Tools::os::FileStatus status;
    if (!Corvane::Tools::os::fileStatus(path, status)) {
        return std::nullopt;
    }
    return FileIdentity{status.device, status.inode, status.size, status.modifiedNs,
                        status.changedNs};
}

std::optional<std::string> Catalogue::versionOf(const fs::path& path, std::string& problem) const {
    const auto identity = identityOf(path);
    if (!identity) {
        problem = "cannot be read";
        return std::nullopt;
    }
    // Nothing bigger can hold an image the Updater would take: not worth a decode.
    if (identity->size > fileLimit_) {
        problem = "larger than any BIRD file whose image fits the limit of " +
                  std::to_string(imageLimit_ >> 20) + " MiB";
        return std::nullopt;
    }
    std::promise<VersionResult> promise;
    std::shared_future<VersionResult> result;
    bool reads = false;
    {
        std::lock_guard lock(cacheMutex_);
        const auto it = cache_.find(path);
        if (it != cache_.end() && it->second.identity == *identity) {
            result = it->second.result;
        } else {
            result = promise.get_future().share();
            cache_[path] = CachedVersion{*identity, result};
            reads = true;
        }
    }
    if (reads) {
        VersionResult read;
        const std::string key = index_ ? indexKey(*identity) : std::string();
        if (const auto known = index_ ? index_->find(path, key) : std::nullopt) {
            read = {known->version, known->problem};
        } else {
            bool decoded = false;
            try {
                const DecodeSlot slot(decodes_);
                std::string version;
                if (BirdFile::readVersion(path.string(), version)) {
                    read.version = std::move(version);
                } else {
                    read.problem = "not a readable BIRD file";
                }
                decoded = true;
            } catch (const std::exception& e) {
                read.problem = std::string("read failed: ") + e.what();
            }
            // A failed read is not kept: the next request may well succeed.
            if (decoded && index_) {
                index_->remember(path, key, {read.version, read.problem});
            }
        }
        promise.set_value(std::move(read));
    }
    const VersionResult& read = result.get();
    problem = read.problem;
    return read.version;
}

void Catalogue::forgetOthers(const fs::path& folder, const std::vector<fs::path>& present) const {
    std::lock_guard lock(cacheMutex_);
    // A folder's files sort together, right after the folder itself.
    for (auto it = cache_.lower_bound(folder);
         it != cache_.end() && it->first.parent_path() == folder;) {
        if (std::find(present.begin(), present.end(), it->first) == present.end()) {
            it = cache_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<std::vector<CatalogueBuild>>
Catalogue::builds(uint32_t serial, std::vector<std::string>* warnings) const {
    const fs::path folder = moduleFolder(serial);
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        return std::nullopt;
    }
    std::vector<CatalogueBuild> found;
    std::vector<fs::path> listed;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const fs::path& path = entry.path();
        if (path.extension() != ".bird" || !entry.is_regular_file(error)) {
            continue;
        }
        if (!inside(path)) {
            if (warnings) {
                warnings->push_back(path.string() + ": leads out of the catalogue");
            }
            continue;
        }
        const std::string stem = path.stem().string();
        // One file per build: "0012" and "12" must not both name build 12.
        const auto build = parseBuildNumber(stem);
        if (!build || stem[0] == '0') {
            if (warnings) {
                warnings->push_back(
                    path.string() +
                    ": name is not a build number (decimal, no leading zero, not 0)");
            }
            continue;
        }
        listed.push_back(path);
        std::string problem;
        auto version = versionOf(path, problem);
        if (!version) {
            if (warnings) {
                warnings->push_back(path.string() + ": " + problem);
            }
            continue;
        }
        found.push_back({*build, std::move(*version), path});
    }
    if (error && warnings) {
        warnings->push_back(folder.string() + ": " + error.message());
    }
    if (!error) {
        forgetOthers(folder, listed);
    }
    std::sort(found.begin(), found.end(),
              [](const CatalogueBuild& a, const CatalogueBuild& b) { return a.build < b.build; });
    return found;
}

std::optional<CatalogueBuild> Catalogue::latest(const std::vector<CatalogueBuild>& builds) {
    const auto rank = [](const CatalogueBuild& b) {
        const auto version = parseFirmwareVersion(b.version);
        return std::tuple{version.has_value(), version.value_or(FirmwareVersion{}), b.build};
    };
    const auto best = std::max_element(
        builds.begin(), builds.end(),
        [&](const CatalogueBuild& a, const CatalogueBuild& b) { return rank(a) < rank(b); });
    if (best == builds.end()) {
        return std::nullopt;
    }
    return *best;
}

std::string Catalogue::firmwareId(uint32_t serial) const {
    const fs::path path = moduleFolder(serial) / "firmware";
    return inside(path) ? firstLine(path) : std::string();
}

std::string Catalogue::token(uint32_t serial) const {
    const fs::path path = moduleFolder(serial) / "token";
    return inside(path) ? firstLine(path) : std::string();
}

std::optional<RecoveryEntry> Catalogue::recovery(const ChipId& chip,
                                                 std::vector<std::string>* warnings) const {
    const fs::path path = root_ / "recovery";
    std::istringstream in(inside(path) ? textOf(path) : std::string());
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) {
            words.push_back(word);
        }
        if (words.empty()) {
            continue;
        }
        const auto build = words.size() == 6 ? parseBuildNumber(words[5]) : std::nullopt;
        bool good = build.has_value();
        for (size_t i = 0; good && i < 5; ++i) {
            good = allOf(words[i], "0123456789abcdefABCDEF") && words[i].size() <= 8;
        }
        if (!good) {
            if (warnings) {
                warnings->push_back((root_ / "recovery").string() + " line " +
                                    std::to_string(number) +
                                    ": expected four fingerprint words, a serial and a build");
            }
            continue;
        }
        bool match = true;
        for (size_t i = 0; i < 4; ++i) {
            match = match && std::stoul(words[i], nullptr, 16) == chip[i];
        }
        if (match) {
            return RecoveryEntry{static_cast<uint32_t>(std::stoul(words[4], nullptr, 16)), *build};
        }
    }
    return std::nullopt;
}

} // namespace updateserver
