// The FastCGI wire format as a responder speaks it to a web server (nginx's fastcgi_pass, Apache's
// mod_proxy_fcgi): eight-byte record headers, name-value pairs, and a reader that turns the
// records of one connection into whole requests. No sockets here, so every byte of it can be
// fed from a test or a fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace updateserver::fastcgi {

enum RecordType : uint8_t {
    kBeginRequest = 1,
    kAbortRequest = 2,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kStderr = 7,
    kData = 8,
    kGetValues = 9,
    kGetValuesResult = 10,
    kUnknownType = 11,
};

enum ProtocolStatus : uint8_t {
    kRequestComplete = 0,
    kCantMultiplex = 1,
    kOverloaded = 2,
    kUnknownRole = 3,
};

inline constexpr uint8_t kVersion = 1;
inline constexpr uint16_t kResponder = 1;
inline constexpr uint8_t kKeepConnection = 1; // flag of a BEGIN_REQUEST
inline constexpr size_t kHeaderBytes = 8;
inline constexpr size_t kMaxContentBytes = 65535;
// The parameters of one request (names, values and their lengths) may take this much; a web
// server sends a few kilobytes, nginx at most its header buffers (the shipped snippet: 128 KiB).
inline constexpr size_t kMaxParameterBytes = 256 * 1024;

using Parameters = std::map<std::string, std::string>;

// One record: header, content (at most kMaxContentBytes), padding to a multiple of eight.
std::string record(uint8_t type, uint16_t requestId, std::string_view content);
// The END_REQUEST record of a request.
std::string endRequest(uint16_t requestId, uint32_t appStatus, ProtocolStatus status);
// Name-value pairs as a GET_VALUES_RESULT carries them.
std::string encodedPairs(const Parameters& pairs);
// The pairs of a PARAMS stream or GET_VALUES body; false when a length runs past the end. A name
// sent twice keeps its first value, as a CGI environment would.
bool decodePairs(std::string_view bytes, Parameters& pairs);

// What the reader has for the connection's owner next.
struct Step {
    enum class Kind {
        more,    // nothing until more bytes arrive
        send,    // bytes: send them (management answers, refusals of requests not taken)
        request, // a whole request: answer it, then call answered()
        close,   // end the connection now, in order: nothing more is owed on it
        fail,    // not a FastCGI peer, or one that broke the protocol: problem says how
    };
    Kind kind = Kind::more;
    std::string bytes;
    uint16_t requestId = 0;
    bool keepConnection = false;
    Parameters parameters;
    std::string problem;
};

// The records of one connection, fed in whatever pieces they arrive in. One request at a time:
// a second one begun alongside is refused as the protocol asks (this responder does not
// multiplex). Holds at most one record and one request's parameters.
class ConnectionReader {
  public:
    // How this responder describes itself to GET_VALUES.
    explicit ConnectionReader(unsigned maxConnections) : maxConnections_(maxConnections) {}

    void feed(const uint8_t* bytes, size_t size) {
        buffer_.append(reinterpret_cast<const char*>(bytes), size);
    }
    // The next step; call again until it says more, close or fail.
    Step next();
    // The request handed out was answered (END_REQUEST sent): the connection takes the next one.
    void answered();

  private:
    Step take(uint8_t type, uint16_t id, std::string_view content);
    Step management(uint8_t type, std::string_view content) const;
    Step begin(uint16_t id, std::string_view content);

    unsigned maxConnections_;
    std::string buffer_;
    size_t consumed_ = 0; // bytes of buffer_ already taken apart
    uint16_t active_ = 0; // the request being read or answered; 0: none
    bool keepConnection_ = false;
    bool parametersDone_ = false;
    bool inputDone_ = false;
    bool handedOut_ = false;
    bool closing_ = false; // the last request asked for the connection to end with it
    std::string parameterBytes_;
};

} // namespace updateserver::fastcgi
