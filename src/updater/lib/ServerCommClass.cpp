// Client of the update server: builds the GET requests and parses the line-oriented replies.
#include "ServerCommClass.h"

#include "BirdFile.h"
#include "BuildOrder.h"
#include "Debug.h"
#include "SerialNumberText.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace {

void ensureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

struct Transfer {
    CURL* curl;
    ServerResponse* response;
    size_t maxBodyBytes;
    bool tooLarge = false;
    bool outOfMemory = false;
};

size_t rcv_data(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    // No exception may unwind through libcurl: running out of memory aborts the transfer.
    try {
        if (Debug_GetMask() & DEBUG_ServerComm) {
            const std::string head(data, std::min<size_t>(bytes, 100)); // the chunk has no NUL
            Debug_Print(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n",
                        static_cast<int>(size), static_cast<int>(count),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(transfer->response)),
                        head.c_str());
        }
        std::string& body = transfer->response->body;
        if (body.size() + bytes > transfer->maxBodyBytes) {
            transfer->tooLarge = true;
            return 0; // makes libcurl abort the transfer
        }
        if (body.empty()) {
            // A BIRD file arrives in many chunks: make room for all of it at once when the size
            // is announced (and believable).
            curl_off_t announced = -1;
            if (curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                    CURLE_OK &&
                announced > 0 && static_cast<uint64_t>(announced) <= transfer->maxBodyBytes) {
                body.reserve(static_cast<size_t>(announced));
            }
        }
        body.append(data, bytes);
    } catch (const std::exception&) {
        transfer->outOfMemory = true;
        return 0;
    }
    Debug_Print(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
    return bytes;
}

// Runs the GET of one operation and checks its status and "ok" line; the lines of the body on
// success. The body stays owned by response.
std::optional<std::vector<std::string_view>>
request(const ServerCommClass& server, const char* operation, const char* statusTag,
        const std::string& url, const std::map<std::string, std::string>& params,
        ServerResponse& response, size_t maxReplyBytes, size_t maxLines = SIZE_MAX) {
    try {
        response = server.httpGet(url, params, maxReplyBytes);
    } catch (const std::exception& e) {
        Debug_Print(DEBUG_ServerComm, "%s ==> [%s]\n", operation, e.what());
        return std::nullopt;
    }
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

std::optional<std::vector<std::string_view>>
request(const ServerCommClass& server, const char* operation, const std::string& url,
        const std::map<std::string, std::string>& params, ServerResponse& response,
        size_t maxReplyBytes, size_t maxLines = SIZE_MAX) {
    return request(server, operation, operation, url, params, response, maxReplyBytes, maxLines);
}

// Query text: the unreserved characters of RFC 3986 stay, every other byte becomes %XX, so a
// value can neither break the request nor add a parameter.
void appendEncoded(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
}

} // namespace

size_t birdReplySizeLimit() {
    uint64_t imageLimit = 0;
    std::string ignored; // a bad setting refuses every load with its reason; the default holds
    birdImageLimit(imageLimit, ignored);
    const uint64_t text = (birdFileSizeLimit(imageLimit) + 2) / 3 * 4;
    // Room for the "ok" line and for text wrapped in lines of 64 characters with CR LF.
    return static_cast<size_t>(text + text / 32 + 64);
}

std::string ServerCommClass::requestUrl(const std::string& url,
                                        const std::map<std::string, std::string>& parameters) {
    std::string full = url;
    if (!parameters.empty()) {
        full += '?';
        for (const auto& [key, value] : parameters) {
            appendEncoded(full, key);
            full += '=';
            appendEncoded(full, value);
            full += '&';
        }
    }
    return full;
}

ServerResponse
ServerCommClass::httpGet(const std::string& url,
                         const std::map<std::string, std::string>& parameters) const {
    return httpGet(url, parameters, settings_.maxBodyBytes);
}

ServerResponse ServerCommClass::httpGet(const std::string& url,
                                        const std::map<std::string, std::string>& parameters,
                                        size_t maxReplyBytes) const {
    ensureCurlGlobalInit();
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(),
                                                                     curl_easy_cleanup);
    CURL* curl = handle.get();
    if (curl == nullptr) {
        throw std::runtime_error("Could not create curl instance");
    }
    ServerResponse response;
    response.url = requestUrl(url, parameters);
    Transfer transfer{curl, &response, maxReplyBytes};

    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, rcv_data);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_URL, response.url.c_str());
    // Firmware is only as trustworthy as the server that handed it out: check who that is.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (!settings_.caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.caFile.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // The download runs on a worker thread: no signals for time-outs.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings_.connectTimeoutMs);
    // A server dripping bytes is as good as gone: below the floor for stallSeconds ends it.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, settings_.minBytesPerSecond);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings_.stallSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings_.totalSeconds);

    char errorText[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);

    Debug_Print(DEBUG_ServerComm, "GET(%s)\n", response.url.c_str());
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int32_t>(status);

    if (transfer.tooLarge) {
        throw std::runtime_error("Reply larger than " + std::to_string(maxReplyBytes) + " bytes");
    }
    if (transfer.outOfMemory) {
        throw std::runtime_error("Out of memory for the reply");
    }
    switch (result) {
    case CURLE_OK: return response;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: {
        // libcurl's own buffer names the certificate problem; its code's text only the class.
        const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        throw TlsFailure(detail);
    }
    default: throw std::runtime_error(curl_easy_strerror(result));
    }
}

bool ServerCommClass::ping(const std::string& url) const {
    return reach(url) == ServerReach::Answered;
}

ServerReach ServerCommClass::reach(const std::string& url, std::string* detail) const {
    ServerResponse response;
    try {
        response = httpGet(url, {{"op", "hi"}, {"rv", "2"}}, settings_.maxSmallReplyBytes);
    } catch (const TlsFailure& e) {
        Debug_Print(DEBUG_ServerComm, "ping ==> [%s]\n", e.what());
        if (detail)
            *detail = e.what();
        return ServerReach::Untrusted;
    } catch (const std::exception& e) {
        Debug_Print(DEBUG_ServerComm, "ping ==> [%s]\n", e.what());
        if (detail)
            *detail = e.what();
        return ServerReach::Unreachable;
    }
    // The same checks and trace lines as request() makes for every other operation.
    if (response.status != 200) {
        Debug_Print(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.status),
                    response.body.c_str());
        return ServerReach::Refused;
    }
    const std::vector<std::string_view> lines = splitLines(response.body, 1);
    if (lines.empty() || !lines[0].starts_with("ok")) {
        Debug_Print(DEBUG_ServerComm, "ServerCommClass: ping failed [%s]\n", response.url.c_str());
        return ServerReach::Refused;
    }
    return ServerReach::Answered;
}

bool ServerCommClass::QueryBuild(uint32_t serial, std::string& latestBuild, std::string& firmwareId,
                                 const std::string& url) const {
    ServerResponse response;
    const auto lines =
        request(*this, "QueryBuild", url, {{"op", "qu"}, {"sn", serialNumberText(serial)}},
                response, settings_.maxSmallReplyBytes);
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

bool ServerCommClass::GetBuildList(uint32_t serial, BuildList& builds,
                                   const std::string& url) const {
    static constexpr const char* kOperation = "GetBuildList";
    builds.clear();
    ServerResponse response;
    const auto lines =
        request(*this, kOperation, url, {{"op", "builds"}, {"sn", serialNumberText(serial)}},
                response, settings_.maxSmallReplyBytes);
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

bool ServerCommClass::GetBuild(uint32_t serial, const std::string& firmwareId,
                               const std::string& build, std::string& base64Out,
                               const std::string& url, bool noCal) const {
    ServerResponse response;
    const auto lines = request(*this, "GetBuild", url,
                               {{"op", "bird"},
                                {"sn", serialNumberText(serial)},
                                {"fw", firmwareId},
                                {"bld", build},
                                {"no_cal", noCal ? "true" : "false"}},
                               response, settings_.maxBodyBytes, 2);
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

bool ServerCommClass::GetDeviceJWT(uint32_t serial, std::string& token,
                                   const std::string& url) const {
    static constexpr const char* kOperation = "GetDeviceJWT";
    ServerResponse response;
    const auto lines =
        request(*this, kOperation, url,
                {{"op", "ent_jwt"}, {"sn", serialNumberText(serial)}, {"json", "false"}}, response,
                settings_.maxSmallReplyBytes);
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

bool ServerCommClass::GetRecoveryInfo(const ChipId& chipId, uint32_t& serial, uint32_t& build,
                                      const std::string& url) const {
    static constexpr const char* kOperation = "GetRecoveryInfo";
    char fingerprint[64];
    // The words are separated by spaces, which the request encodes as the server expects: %20.
    snprintf(fingerprint, sizeof fingerprint, "%08X %08X %08X %08X", chipId[0], chipId[1],
             chipId[2], chipId[3]);
    ServerResponse response;
    const auto lines =
        request(*this, kOperation, url, {{"op", "fix"}, {"fp", fingerprint}, {"brief", "true"}},
                response, settings_.maxSmallReplyBytes);
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

std::vector<std::pair<std::string, std::string>>
ServerCommClass::sortBuildsByVersion(const BuildList& builds) {
    return sortBuildsNewestFirst(builds);
}
