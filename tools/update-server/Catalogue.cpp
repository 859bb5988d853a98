// The update server's catalogue: module folders of BIRD files, identifiers, tokens and the
// recovery table.
#include "Catalogue.h"

#include "Base64.h"
#include "BirdFile.h"
#include "BuildText.h"
#include "RegularFile.h"
#include "SerialNumberText.h"

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

} // namespace

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
    std::error_code error;
    const auto modified = fs::last_write_time(build.path, error);
    const uintmax_t size = error ? 0 : fs::file_size(build.path, error);
    if (!error) {
        std::lock_guard lock(cacheMutex_);
        const auto it = replies_.find(build.path);
        if (it != replies_.end() && it->second.modified == modified && it->second.size == size) {
            if (auto shared = it->second.reply.lock()) {
                return shared;
            }
        }
    }
    std::string bytes;
    if (error || !inside(build.path) ||
        readRegularFile(build.path.string(), SIZE_MAX, bytes) != aErrNone) {
        warnings.push_back(build.path.string() + ": read failed");
        return nullptr;
    }
    auto reply = std::make_shared<std::string>("ok\n");
    *reply += base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    *reply += "\n";
    std::lock_guard lock(cacheMutex_);
    // Entries whose replies are all sent go, so the map never outgrows the catalogue; the newest
    // reply stays for the next request, which is often for the same build.
    std::erase_if(replies_, [](const auto& entry) { return entry.second.reply.expired(); });
    replies_[build.path] = SharedReply{modified, size, reply};
    newestReply_ = reply;
    return reply;
}

std::string Catalogue::serialText(uint32_t serial) {
    return serialNumberText(serial);
}

std::optional<std::string> Catalogue::versionOf(const fs::path& path) const {
    std::error_code error;
    const auto modified = fs::last_write_time(path, error);
    const uintmax_t size = error ? 0 : fs::file_size(path, error);
    if (error) {
        return std::nullopt;
    }
    {
        std::lock_guard lock(cacheMutex_);
        const auto it = cache_.find(path);
        if (it != cache_.end() && it->second.modified == modified && it->second.size == size) {
            return it->second.version;
        }
    }
    std::optional<std::string> version;
    if (BirdFile::isBirdFile(path.string())) {
        try {
            version = BirdFile(path.string()).version();
        } catch (const std::exception&) {
            version = std::nullopt;
        }
    }
    std::lock_guard lock(cacheMutex_);
    cache_[path] = CachedVersion{modified, size, version};
    return version;
}

std::optional<std::vector<CatalogueBuild>>
Catalogue::builds(uint32_t serial, std::vector<std::string>* warnings) const {
    const fs::path folder = moduleFolder(serial);
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        return std::nullopt;
    }
    std::vector<CatalogueBuild> found;
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
        auto version = versionOf(path);
        if (!version) {
            if (warnings) {
                warnings->push_back(path.string() + ": not a readable BIRD file");
            }
            continue;
        }
        found.push_back({*build, std::move(*version), path});
    }
    if (error && warnings) {
        warnings->push_back(folder.string() + ": " + error.message());
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
