// The update server as a CGI program: a web server (nginx with fcgiwrap, Apache, lighttpd) hands
// it one request in its environment and sends on the reply it writes, with its own TLS in front.
#pragma once

#include "Request.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace updateserver {

// Looks up one variable of the request's environment; null when it is not set.
using CgiEnvironment = std::function<const char*(const char* name)>;

// The request a web server describes in REQUEST_METHOD (which must be set), QUERY_STRING,
// SCRIPT_NAME and PATH_INFO, and the path the protocol is served at: SCRIPT_NAME, or the
// daemon's /cgi/u when the server sets none.
struct CgiCall {
    Request request;
    std::string endpoint;
};
CgiCall cgiCall(const CgiEnvironment& environment);

// The reply's CGI header: "Status:", "Content-Type:", "Content-Length:" and the empty line.
std::string cgiHeader(const Reply& reply, uint64_t bodyLength);

// Answers the request described by REQUEST_METHOD, QUERY_STRING, SCRIPT_NAME and PATH_INFO from
// the catalogue, through the same request code as the daemon: writes "Status:", "Content-Type:",
// "Content-Length:" and the body on out; catalogue warnings go to log (null: nowhere). The
// protocol is served at SCRIPT_NAME (the daemon's /cgi/u when the server sets none): any extra
// path after it gets the daemon's refusal. Returns 0 once a reply was written, even a refusal; 2
// when no web server called it (REQUEST_METHOD unset), with the reason on log; 1 when out
// could not take the reply.
int answerCgi(const std::string& catalogue, const CgiEnvironment& environment, FILE* out,
              FILE* log);

} // namespace updateserver
