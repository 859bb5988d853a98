// Fuzz entry for the update server client: arbitrary bodies as each kind of reply, read the way
// the Updater reads them, build numbers, versions and the BIRD file's Base64 included.
#pragma once

#include "Base64.h"
#include "BuildOrder.h"
#include "BuildText.h"
#include "Retrieval.h"
#include "ServerReplies.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzreplies {

inline bool hasAny(const std::string& text, const char* characters) {
    return text.find_first_of(characters) != std::string::npos;
}

// A version that parses must mean the same when written back.
inline std::string checkVersionText(const std::string& text) {
    const auto version = parseFirmwareVersion(text);
    if (!version) {
        return {};
    }
    const std::string again = std::to_string(version->major) + "." +
                              std::to_string(version->minor) + "." + std::to_string(version->patch);
    if (parseFirmwareVersion(again) != version) {
        return "version [" + text + "] does not read back as itself";
    }
    return {};
}

inline std::string checkBuildList(const BuildList& builds) {
    for (const auto& [build, version] : builds) {
        if (build.empty() || hasAny(build, ";\r\n") || hasAny(version, ";\r\n")) {
            return "a build list entry kept a separator or is empty";
        }
        std::string problem = checkVersionText(version);
        if (!problem.empty()) {
            return problem;
        }
    }
    const auto sorted = sortBuildsNewestFirst(builds);
    if (BuildList(sorted.begin(), sorted.end()) != builds || sorted.size() != builds.size()) {
        return "sorting the build list lost or invented entries";
    }
    for (size_t i = 1; i < sorted.size(); ++i) {
        const auto before = parseFirmwareVersion(sorted[i - 1].second);
        const auto after = parseFirmwareVersion(sorted[i].second);
        if ((!before && after) || (before && after && *before < *after)) {
            return "the build list is not sorted newest first";
        }
    }
    return {};
}

inline std::string checkBase64(const std::string& text) {
    if (hasAny(text, "\r\n")) {
        return "the BIRD text kept a line break";
    }
    std::vector<uint8_t> bytes{1, 2, 3};
    if (!base64Decode(text, bytes)) {
        return bytes.empty() ? std::string() : "a failed decode left bytes behind";
    }
    const size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    if (bytes.size() != text.size() / 4 * 3 - padding) {
        return "decoded size does not follow from the text";
    }
    std::vector<uint8_t> again;
    if (!base64Decode(base64Encode(bytes.data(), bytes.size()), again) || again != bytes) {
        return "decoded bytes do not survive encoding and decoding";
    }
    return {};
}

} // namespace fuzzreplies

// The first byte picks the operation (and a status other than 200 now and then); the rest is the
// body. Out-parameters must stay untouched on failure and hold what the grammar allows on success.
inline std::string fuzzServerReplies(const uint8_t* data, size_t size) {
    using namespace fuzzreplies;
    if (size == 0) {
        return {};
    }
    ServerResponse response;
    response.url = "http://127.0.0.1/cgi/u?op=fuzz&";
    response.status = data[0] >= 0xF0 ? 404 : 200;
    response.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string kUntouched = "untouched";
    bool ok = false;
    std::string problem;
    switch (data[0] % 6) {
    case 0: ok = serverreply::ping(response); break;
    case 1: {
        std::string latest = kUntouched, firmware = kUntouched;
        ok = serverreply::queryBuild(response, latest, firmware);
        if (!ok && (latest != kUntouched || firmware != kUntouched)) {
            return "a failed QueryBuild wrote its out texts";
        }
        if (hasAny(latest, "\n") || hasAny(firmware, "\r\n")) {
            return "a QueryBuild text kept a line break";
        }
        const uint32_t build = latestBuildNumber(latest);
        if (build != 0 && parseBuildNumber(std::to_string(build)) != build) {
            return "the latest build does not read back as itself";
        }
        break;
    }
    case 2: {
        BuildList builds;
        ok = serverreply::buildList(response, builds);
        if (!ok && !builds.empty()) {
            return "a failed GetBuildList filled the list";
        }
        problem = checkBuildList(builds);
        break;
    }
    case 3: {
        std::string text = kUntouched;
        ok = serverreply::bird(response, text);
        if (!ok && text != kUntouched) {
            return "a failed GetBuild wrote its out text";
        }
        if (ok) {
            problem = checkBase64(text);
        }
        break;
    }
    case 4: {
        std::string token = kUntouched;
        ok = serverreply::deviceToken(response, token);
        if (!ok && token != kUntouched) {
            return "a failed GetDeviceJWT wrote its token";
        }
        const size_t dot1 = token.find('.');
        const size_t dot2 = dot1 == std::string::npos ? dot1 : token.find('.', dot1 + 1);
        if (ok && (hasAny(token, "\n") || dot2 == std::string::npos || dot1 < 2 ||
                   dot2 - dot1 < 3 || token.size() - dot2 < 3)) {
            return "the token is not header.payload.signature";
        }
        break;
    }
    case 5: {
        uint32_t serial = 0xDEADBEEF, build = 0xDEADBEEF;
        ok = serverreply::recoveryInfo(response, serial, build);
        if (!ok && (serial != 0xDEADBEEF || build != 0xDEADBEEF)) {
            return "a failed GetRecoveryInfo wrote its numbers";
        }
        break;
    }
    }
    if (ok && response.status != 200) {
        return "a reply with status " + std::to_string(response.status) + " was accepted";
    }
    return problem;
}
