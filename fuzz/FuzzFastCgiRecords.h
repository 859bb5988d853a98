// Fuzz entry for update-server --fastcgi's record reader: a web server's bytes in arbitrary chunks
// (the first byte of the input picks their sizes), every request handed out answered at once.
#pragma once

#include "FastCgiRecords.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace fuzzfastcgi {

// What the reader sends on its own must be whole records of the format, of the kinds a responder
// sends unasked: END_REQUEST, GET_VALUES_RESULT, UNKNOWN_TYPE.
inline std::string checkSent(const std::string& bytes) {
    namespace fcgi = updateserver::fastcgi;
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < fcgi::kHeaderBytes) {
            return "a record cut inside its header";
        }
        const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[at + i]); };
        const size_t length = (static_cast<size_t>(byte(4)) << 8) | byte(5);
        const uint8_t type = byte(1);
        if (byte(0) != fcgi::kVersion || (length + byte(6)) % 8 != 0 ||
            (type != fcgi::kEndRequest && type != fcgi::kGetValuesResult &&
             type != fcgi::kUnknownType)) {
            return "a malformed record sent";
        }
        at += fcgi::kHeaderBytes + length + byte(6);
    }
    return at == bytes.size() ? std::string() : "a record cut inside its content";
}

} // namespace fuzzfastcgi

inline std::string fuzzFastCgiRecords(const uint8_t* data, size_t size) {
    namespace fcgi = updateserver::fastcgi;
    if (size == 0) {
        return {};
    }
    const unsigned chunking = data[0];
    ++data;
    --size;
    fcgi::ConnectionReader reader(64);
    size_t fed = 0;
    // Each turn takes bytes or moves the reader on; anything more is a reader going round.
    for (size_t turns = 0; turns < 4 * size + 64; ++turns) {
        fcgi::Step step = reader.next();
        switch (step.kind) {
        case fcgi::Step::Kind::more: {
            if (fed == size) {
                return {};
            }
            const size_t chunk = chunking == 0 ? size : 1 + (chunking * (turns + 1)) % 509;
            const size_t take = std::min(chunk, size - fed);
            reader.feed(data + fed, take);
            fed += take;
            break;
        }
        case fcgi::Step::Kind::send: {
            const std::string problem = fuzzfastcgi::checkSent(step.bytes);
            if (!problem.empty()) {
                return problem;
            }
            break;
        }
        case fcgi::Step::Kind::request: {
            size_t bytes = 0;
            for (const auto& [name, value] : step.parameters) {
                bytes += name.size() + value.size();
            }
            if (step.requestId == 0 || bytes > fcgi::kMaxParameterBytes) {
                return "a request handed out with id 0 or parameters over the limit";
            }
            reader.answered();
            break;
        }
        case fcgi::Step::Kind::close:
        case fcgi::Step::Kind::fail: return {};
        }
    }
    return "the reader went round without taking bytes";
}
