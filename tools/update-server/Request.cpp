// The update server's request handling shared by its HTTP listener and its CGI mode: method, path
// and query limits first, then the protocol.
#include "Request.h"

#include "PrintableText.h"

#include <algorithm>
#include <exception>

namespace updateserver {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

Reply refuse(unsigned status, const char* why, const std::string& reason) {
    Reply reply{status, "error " + reason + "\n"};
    reply.refusal = why;
    return reply;
}

} // namespace

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
            hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<QueryPair> queryPairs(std::string_view query) {
    std::vector<QueryPair> pairs;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        const std::string_view piece = query.substr(start, end - start);
        if (!piece.empty()) {
            const size_t equals = piece.find('=');
            QueryPair pair;
            pair.key = percentDecoded(piece.substr(0, equals));
            if (equals != std::string_view::npos) {
                pair.value = percentDecoded(piece.substr(equals + 1));
                pair.hasValue = true;
            }
            pairs.push_back(std::move(pair));
        }
        start = end + 1;
    }
    return pairs;
}

std::string queryLogText(const std::vector<QueryPair>& pairs) {
    std::string text;
    for (const QueryPair& pair : pairs) {
        text += text.empty() ? "?" : "&";
        text += pair.key;
        if (pair.hasValue) {
            text += "=" + pair.value;
        }
    }
    return text;
}

Reply serveRequest(const Catalogue& catalogue, const Request& request, const std::string& endpoint,
                   std::vector<std::string>& warnings) {
    if (request.method != "GET") {
        return refuse(405, "method", "only GET is served");
    }
    if (request.path != endpoint) {
        return refuse(404, "path", "nothing at " + request.path + "; requests go to " + endpoint);
    }
    // The length goes first: counting the parameters of a huge query is work a client must not
    // be able to ask for.
    if (request.query.size() > kMaxQueryBytes) {
        return refuse(414, "query_too_long",
                      "query longer than " + std::to_string(kMaxQueryBytes) + " bytes");
    }
    const std::vector<QueryPair> pairs = queryPairs(request.query);
    if (pairs.size() > kMaxQueryParameters) {
        return refuse(400, "too_many_parameters",
                      "more than " + std::to_string(kMaxQueryParameters) + " query parameters");
    }
    std::map<std::string, std::string> parameters;
    for (const QueryPair& pair : pairs) {
        parameters.emplace(pair.key, pair.value); // the first of repeated keys wins
    }
    try {
        return answer(catalogue, parameters, warnings);
    } catch (const std::exception& e) {
        warnings.push_back(std::string("request failed: ") + e.what());
        return refuse(500, "internal", "internal failure");
    }
}

std::string requestLogLine(const std::string& client, const Request& request, const Reply& reply) {
    constexpr size_t kShownQuery = 1024;
    std::string query =
        queryLogText(queryPairs(std::string_view(request.query).substr(0, kShownQuery)));
    if (request.query.size() > kShownQuery) {
        query += "...";
    }
    const std::string& text = reply.text();
    const std::string first = printableText(text.substr(0, std::min<size_t>(text.find('\n'), 60)));
    return client + " " + printableText(request.method) + " " + printableText(request.path) +
           printableText(query) + " -> " + std::to_string(reply.status) + " " + first + " (" +
           std::to_string(text.size()) + " bytes)";
}

const char* statusText(unsigned status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 414: return "URI Too Long";
    case 500: return "Internal Server Error";
    default: return "Unknown";
    }
}

} // namespace updateserver
