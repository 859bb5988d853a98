// One request through the CGI interface: the environment in, one reply out, through the request
// code the daemon uses.
#include "CgiRequest.h"

#include "BirdFile.h"
#include "PrintableText.h"
#include "Request.h"
#include "ServerUrl.h"

#include <filesystem>
#include <system_error>

namespace updateserver {

namespace {

std::string variable(const CgiEnvironment& environment, const char* name) {
    const char* value = environment(name);
    return value ? value : "";
}

void logLine(FILE* log, const std::string& line) {
    if (log) {
        fprintf(log, "update-server: %s\n", printableText(line).c_str());
        fflush(log);
    }
}

// The catalogue a lab configured cannot be served: the client is told no more than that, the
// web server's error log gets the reason.
Reply unavailable(const std::string& reason, FILE* log) {
    logLine(log, reason);
    Reply reply{500, "error the catalogue cannot be served\n"};
    reply.refusal = "catalogue";
    return reply;
}

Reply answer(const std::string& catalogueDirectory, const Request& request,
             const std::string& endpoint, FILE* log) {
    std::error_code error;
    if (!std::filesystem::is_directory(catalogueDirectory, error)) {
        return unavailable("catalogue " + catalogueDirectory + " is not a directory", log);
    }
    uint64_t imageLimit = 0;
    std::string problem;
    if (!birdImageLimit(imageLimit, problem)) {
        return unavailable(problem, log);
    }
    Catalogue catalogue(catalogueDirectory);
    catalogue.answerOneRequest();
    std::vector<std::string> warnings;
    Reply reply = serveRequest(catalogue, request, endpoint, warnings);
    for (const std::string& warning : warnings) {
        logLine(log, "warning: " + warning);
    }
    return reply;
}

} // namespace

int answerCgi(const std::string& catalogue, const CgiEnvironment& environment, FILE* out,
              FILE* log) {
    const char* method = environment("REQUEST_METHOD");
    if (method == nullptr) {
        logLine(log, "--cgi answers a request from a web server, and REQUEST_METHOD is not set");
        return 2;
    }
    std::string endpoint = variable(environment, "SCRIPT_NAME");
    if (endpoint.empty()) {
        endpoint = kServerRequestPath;
    }
    Request request;
    request.method = method;
    request.path = endpoint + variable(environment, "PATH_INFO");
    request.query = variable(environment, "QUERY_STRING");
    const Reply reply = answer(catalogue, request, endpoint, log);

    const std::string& body = reply.text();
    const uint64_t length = reply.source ? reply.source->replyLength() : body.size();
    fprintf(out, "Status: %u %s\r\nContent-Type: %s\r\nContent-Length: %llu\r\n\r\n", reply.status,
            statusText(reply.status), reply.contentType.c_str(),
            static_cast<unsigned long long>(length));
    if (reply.source) {
        std::string problem;
        if (!reply.source->writeTo(out, problem)) {
            // The length is announced: the web server sees the reply end short and drops it.
            logLine(log, "reply cut short: " + problem);
            return 1;
        }
    } else {
        fwrite(body.data(), 1, body.size(), out);
    }
    return fflush(out) == 0 && !ferror(out) ? 0 : 1;
}

} // namespace updateserver
