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

CgiCall cgiCall(const CgiEnvironment& environment) {
    CgiCall call;
    call.endpoint = variable(environment, "SCRIPT_NAME");
    if (call.endpoint.empty()) {
        call.endpoint = kServerRequestPath;
    }
    call.request.method = variable(environment, "REQUEST_METHOD");
    call.request.path = call.endpoint + variable(environment, "PATH_INFO");
    call.request.query = variable(environment, "QUERY_STRING");
    return call;
}

std::string cgiHeader(const Reply& reply, uint64_t bodyLength) {
    return "Status: " + std::to_string(reply.status) + " " + statusText(reply.status) +
           "\r\nContent-Type: " + reply.contentType +
           "\r\nContent-Length: " + std::to_string(bodyLength) + "\r\n\r\n";
}

int answerCgi(const std::string& catalogue, const CgiEnvironment& environment, FILE* out,
              FILE* log) {
    if (environment("REQUEST_METHOD") == nullptr) {
        logLine(log, "--cgi answers a request from a web server, and REQUEST_METHOD is not set");
        return 2;
    }
    const CgiCall call = cgiCall(environment);
    const Reply reply = answer(catalogue, call.request, call.endpoint, log);

    const std::string& body = reply.text();
    const std::string header =
        cgiHeader(reply, reply.source ? reply.source->replyLength() : body.size());
    fwrite(header.data(), 1, header.size(), out);
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
