// Client of the update server: one HTTP GET per operation, replies of "\n"-separated lines
// whose first line starts with "ok".
#pragma once

#include "BuildList.h"
#include "ServerUrl.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// The reply to one GET.
struct ServerResponse {
    std::string url;    // the request URL, query included
    int32_t status = 0; // HTTP status code; 0 until a reply arrived
    std::string body;   // appended chunk by chunk as it arrives
};

// The largest BIRD reply worth receiving: the Base64 text, wrapped or not, of the largest file
// the BIRD image limit lets through (birdFileSizeLimit); about 99 MiB for the default limit. The
// reply, its decoded bytes and the image then stay well under 256 MiB together.
size_t birdReplySizeLimit();

// Transfer limits. A connect that takes longer than connectTimeoutMs, a transfer that moves
// less than minBytesPerSecond for stallSeconds, or a request that has not finished after
// totalSeconds fails; so does a BIRD reply above maxBodyBytes or any other reply above
// maxSmallReplyBytes (pings, build lists and tokens are a few lines).
struct ServerCommSettings {
    long connectTimeoutMs = 10000;
    long minBytesPerSecond = 1024;
    long stallSeconds = 30;
    long totalSeconds = 1800;
    size_t maxBodyBytes = birdReplySizeLimit();
    size_t maxSmallReplyBytes = size_t{1} << 20;
    // A PEM file of certificate authorities to trust for https in place of the system's own
    // (a lab's own CA); empty: the system's. Verification stays on either way.
    std::string caFile;
};

// A transfer that failed because the server's certificate could not be verified (or the trusted
// authorities could not be loaded), apart from every other transport failure.
struct TlsFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a ping found: an update server, nothing that answered, a server whose certificate is not
// trusted, or something that answered but not as an update server does.
enum class ServerReach { Answered, Unreachable, Untrusted, Refused };

class ServerCommClass {
  public:
    // The local update server (tools/update-server) on its default port.
    static constexpr const char* kDefaultUrl = kDefaultServerUrl;
    // The chip fingerprint of a module's boot ROM: four 32-bit words.
    using ChipId = std::array<uint32_t, 4>;

    ServerCommClass() = default;
    explicit ServerCommClass(const ServerCommSettings& settings) : settings_(settings) {}

    // Every operation returns false on a transport failure, an HTTP status other than 200, or a
    // first line that does not start with "ok"; out-parameters are written only on success.
    bool ping(const std::string& url = kDefaultUrl) const;
    // The same, saying why not; detail gets the transport's text for a failed transfer.
    ServerReach reach(const std::string& url, std::string* detail = nullptr) const;
    // Latest build text and firmware identifier; a line missing from the reply leaves its out
    // text unchanged.
    bool QueryBuild(uint32_t serial, std::string& latestBuild, std::string& firmwareId,
                    const std::string& url = kDefaultUrl) const;
    // Clears builds first, then fills it from the reply.
    bool GetBuildList(uint32_t serial, BuildList& builds,
                      const std::string& url = kDefaultUrl) const;
    // The BIRD file as Base64 text (see Base64.h), still encoded; text wrapped over several
    // lines is joined.
    bool GetBuild(uint32_t serial, const std::string& firmwareId, const std::string& build,
                  std::string& base64Out, const std::string& url = kDefaultUrl,
                  bool noCal = false) const;
    // The device token as header.payload.signature.
    bool GetDeviceJWT(uint32_t serial, std::string& token,
                      const std::string& url = kDefaultUrl) const;
    // The serial number and recovery build that the server keeps for a chip fingerprint.
    bool GetRecoveryInfo(const ChipId& chipId, uint32_t& serial, uint32_t& build,
                         const std::string& url = kDefaultUrl) const;

    // The list's pairs, newest version first and those whose version is not major.minor.patch
    // last; equal versions keep their key order (the build table's order).
    static std::vector<std::pair<std::string, std::string>>
    sortBuildsByVersion(const BuildList& builds);

    // The server URL followed by "?" and "key=value&" for each parameter in byte order of the
    // keys; every byte of a key or value outside A-Z, a-z, 0-9 and "-._~" is percent-encoded.
    static std::string requestUrl(const std::string& url,
                                  const std::map<std::string, std::string>& parameters);
    // One GET. Throws std::runtime_error on a transport failure (libcurl's text for the error),
    // TlsFailure when it was the certificate check.
    ServerResponse httpGet(const std::string& url,
                           const std::map<std::string, std::string>& parameters) const;
    // The same with its own cap on the reply's size.
    ServerResponse httpGet(const std::string& url,
                           const std::map<std::string, std::string>& parameters,
                           size_t maxReplyBytes) const;

  private:
    ServerCommSettings settings_;
};
