// Reading the update server's line-oriented replies: the "ok" line, then each operation's lines.
#include "ServerReplies.h"

#include "Debug.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

namespace serverreply {

namespace {

// Lines of a reply: runs of "\n" count as one separator, so no line is empty. At most maxLines
// of them: a BIRD reply only needs its first two, and a list of every line of a reply the size of
// a BIRD file could take many times the reply's own memory.
std::vector<std::string_view> splitLines(std::string_view body, size_t maxLines) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < body.size() && lines.size() < maxLines) {
        size_t end = body.find('\n', start);
        if (end == std::string_view::npos) {
            end = body.size();
        }
        if (end > start) {
            lines.push_back(body.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

// Pieces of text between any of the delimiters, empty pieces skipped.
std::vector<std::string_view> tokens(std::string_view text, std::string_view delimiters) {
    std::vector<std::string_view> pieces;
    size_t start = text.find_first_not_of(delimiters);
    while (start != std::string_view::npos) {
        size_t end = text.find_first_of(delimiters, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        pieces.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(delimiters, end);
    }
    return pieces;
}

std::string_view cutAt(std::string_view text, std::string_view delimiters) {
    return text.substr(0, std::min(text.size(), text.find_first_of(delimiters)));
}

// The status and "ok" line of one operation's reply; the lines of the body on success. They
// point into the response's body.
std::optional<std::vector<std::string_view>> replyLines(const ServerResponse& response,
                                                        const char* operation,
                                                        const char* statusTag,
                                                        size_t maxLines = SIZE_MAX) {
    if (response.status != 200) {
        Debug_Print(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", statusTag,
                    static_cast<int>(response.status), response.body.c_str());
        return std::nullopt;
    }
    std::vector<std::string_view> lines = splitLines(response.body, maxLines);
    if (lines.empty() || !lines[0].starts_with("ok")) {
        Debug_Print(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", operation,
                    response.url.c_str());
        return std::nullopt;
    }
    return lines;
}

} // namespace

bool ping(const ServerResponse& response) {
    return replyLines(response, "ping", "PING").has_value();
}

bool queryBuild(const ServerResponse& response, std::string& latestBuild, std::string& firmwareId) {
    const auto lines = replyLines(response, "QueryBuild", "QueryBuild");
    if (!lines) {
        return false;
    }
    if (lines->size() > 1) {
        latestBuild = (*lines)[1];
    }
    if (lines->size() > 2) {
        firmwareId = cutAt((*lines)[2], "\r\n");
    }
    return true;
}

bool buildList(const ServerResponse& response, BuildList& builds) {
    static constexpr const char* kOperation = "GetBuildList";
    const auto lines = replyLines(response, kOperation, kOperation);
    if (!lines) {
        return false;
    }
    for (size_t i = 1; i < lines->size(); ++i) {
        const std::string line((*lines)[i]);
        if (line.size() < 3) {
            continue;
        }
        Debug_Print(DEBUG_ServerComm, "%s processing entry: [%s]\n", kOperation, line.c_str());
        const auto pieces = tokens(line, ";\r\n");
        if (pieces.empty()) {
            continue;
        }
        const std::string build(pieces[0]);
        const std::string version(pieces.size() > 1 ? pieces[1] : std::string_view{});
        builds.emplace(build, version);
        Debug_Print(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", kOperation, build.c_str(),
                    version.c_str());
    }
    return true;
}

bool bird(ServerResponse& response, std::string& base64Out) {
    const auto lines = replyLines(response, "GetBuild", "GetBuild", 2);
    if (!lines) {
        return false;
    }
    base64Out.clear();
    if (lines->size() > 1) {
        // The file is most of the body: squeeze the line breaks of wrapped text out of the body
        // in place rather than copy megabytes.
        std::string& body = response.body;
        const size_t offset = static_cast<size_t>((*lines)[1].data() - body.data());
        size_t kept = 0;
        for (size_t i = offset; i < body.size(); ++i) {
            const char c = body[i];
            if (c != '\n' && c != '\r') {
                body[kept++] = c;
            }
        }
        body.resize(kept);
        base64Out = std::move(body);
    }
    return true;
}

bool deviceToken(const ServerResponse& response, std::string& token) {
    static constexpr const char* kOperation = "GetDeviceJWT";
    const auto lines = replyLines(response, kOperation, kOperation);
    if (!lines || lines->size() < 2 || (*lines)[1].size() <= 2) {
        return false;
    }
    const std::string line((*lines)[1]);
    Debug_Print(DEBUG_ServerComm, "%s processing entry: [%s]\n", kOperation, line.c_str());
    const std::string_view text = line;
    const size_t dot1 = text.find('.');
    if (dot1 == std::string_view::npos) {
        return false;
    }
    const size_t dot2 = text.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos) {
        return false;
    }
    const std::string_view header = text.substr(0, dot1);
    const std::string_view payload = text.substr(dot1 + 1, dot2 - dot1 - 1);
    const std::string_view signature = cutAt(text.substr(dot2 + 1), "\r\n");
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) {
        return false;
    }
    token = std::string(header) + "." + std::string(payload) + "." + std::string(signature);
    return true;
}

bool recoveryInfo(const ServerResponse& response, uint32_t& serial, uint32_t& build) {
    static constexpr const char* kOperation = "GetRecoveryInfo";
    const auto lines = replyLines(response, kOperation, kOperation);
    if (!lines) {
        return false;
    }
    const std::string line1((*lines)[0]);
    const std::string line2(lines->size() > 1 ? (*lines)[1] : std::string_view{});
    const std::string line3(lines->size() > 2 ? (*lines)[2] : std::string_view{});
    if (lines->size() > 1) {
        serial = static_cast<uint32_t>(std::strtoul(line2.c_str(), nullptr, 16));
    }
    if (lines->size() > 2) {
        build = static_cast<uint32_t>(std::strtoul(line3.c_str(), nullptr, 0));
    }
    Debug_Print(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", kOperation, line1.c_str(),
                line2.c_str(), line3.c_str());
    return true;
}

} // namespace serverreply
