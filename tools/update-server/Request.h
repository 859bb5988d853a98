// One request to the update server as either front end receives it (its own HTTP listener, or a
// web server calling it as a CGI program), and the one function that answers it for both.
#pragma once

#include "Catalogue.h"
#include "Protocol.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace updateserver {

// A request with more query parameters than this is refused with 400, and one whose query text
// is longer than kMaxQueryBytes with 414. The Updater's longest request is a few hundred bytes.
inline constexpr size_t kMaxQueryParameters = 100;
inline constexpr size_t kMaxQueryBytes = 16384;

struct Request {
    std::string method;
    std::string path;  // percent-decoded, as both HTTP servers and CGI hand it over
    std::string query; // the text after "?", percent-encoded as sent; empty without one
};

// One "key=value" of a query, percent-decoded; hasValue is false for a bare "key".
struct QueryPair {
    std::string key;
    std::string value;
    bool hasValue = false;
};

// "%HH" becomes its byte; a "%" without two hexadecimal digits after it stays as it is.
std::string percentDecoded(std::string_view text);

// The pairs of a query in the order sent, empty pieces between "&" skipped.
std::vector<QueryPair> queryPairs(std::string_view query);

// The query as a log shows it: its pairs decoded, "?" first; empty for a query without any.
std::string queryLogText(const std::vector<QueryPair>& pairs);

// Answers one request to endpoint (the path the protocol is served at): refuses other methods,
// other paths and queries beyond the limits in the same words whichever front end asked, then
// answers the protocol (see Protocol.h). Problems met in the catalogue are added to warnings.
Reply serveRequest(const Catalogue& catalogue, const Request& request, const std::string& endpoint,
                   std::vector<std::string>& warnings);

// The server's log line for one answered request (without the "update-server: " prefix): the
// client, the request and the reply's status, first line and size. Every part the client sent is
// escaped, so it cannot forge a line, and a huge query is cut: it is refused anyway.
std::string requestLogLine(const std::string& client, const Request& request, const Reply& reply);

// The reason phrase of the statuses the server answers with ("Not Found"), for the CGI Status
// line.
const char* statusText(unsigned status);

} // namespace updateserver
