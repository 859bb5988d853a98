// The update server's side of the request protocol on /cgi/u: one GET with "op" and its
// parameters in, one "ok"-first-line text reply out.
#pragma once

#include "BirdReplyStream.h"
#include "Catalogue.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace updateserver {

struct Reply {
    Reply() = default;
    Reply(unsigned status_, std::string body_) : status(status_), body(std::move(body_)) {}

    unsigned status = 200;
    std::string body;
    // When set, the body instead, shared with other requests for the same file.
    std::shared_ptr<const std::string> shared;
    // When set (a catalogue that answers one request), the body is this BIRD file's reply, for
    // the front end to write as it encodes it; text() is then empty.
    std::shared_ptr<BirdReplySource> source;
    std::string contentType = "text/plain; charset=utf-8";

    // For the server's metrics, each a fixed word so a client cannot make up new series: the
    // operation asked ("none" without one, "unknown" for one not served), why the request was
    // refused (null when answered) and, for a BIRD file, which build of which module went out.
    const char* operation = "none";
    const char* refusal = nullptr;
    uint32_t servedSerial = 0;
    uint32_t servedBuild = 0;

    const std::string& text() const { return shared ? *shared : body; }
};

// Answers one request from its (already percent-decoded) query parameters. Refusals are
// "error <reason>" lines: 400 for a malformed request, 404 for something the catalogue lacks.
// Use serveRequest (Request.h) for a request as it arrives.
// Problems found in the catalogue on the way are added to warnings.
Reply answer(const Catalogue& catalogue, const std::map<std::string, std::string>& parameters,
             std::vector<std::string>& warnings);

} // namespace updateserver
