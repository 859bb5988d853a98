// The certificate authority file's check: read it whole, find its PEM certificate blocks, and
// decode each so that a truncated or mangled file is caught before libcurl meets it.
#include "CaFile.h"

#include "Base64.h"
#include "RegularFile.h"
#include "os/files.h"

#include <cctype>
#include <vector>

namespace {

constexpr size_t kMostBytes = size_t{1} << 20;
constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";

// Through the store's reader: a named pipe in the file's place cannot hold the run.
bool readWhole(const std::string& path, std::string& text, std::string& problem) {
    int systemError = 0;
    switch (readRegularFile(path, kMostBytes, text, &systemError)) {
    case aErrNone: return true;
    case aErrSize:
        problem = path + " is larger than 1 MiB: no certificate authority file is";
        break;
    case aErrMode: problem = path + " is not a regular file"; break;
    default:
        problem = "cannot read " + path +
                  (systemError != 0 ? ": " + corvane::platform::systemErrorText(systemError)
                                    : std::string());
    }
    return false;
}

} // namespace

bool checkCaFile(const std::string& path, std::string& problem) {
    std::string text;
    if (!readWhole(path, text, problem)) {
        return false;
    }
    size_t certificates = 0;
    for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
        const size_t start = at + kBegin.size();
        const size_t end = text.find(kEnd, start);
        std::string base64;
        if (end != std::string::npos) {
            for (size_t i = start; i < end; ++i) {
                if (!std::isspace(static_cast<unsigned char>(text[i]))) {
                    base64 += text[i];
                }
            }
        }
        std::vector<uint8_t> der;
        // A DER certificate is one SEQUENCE: its first byte is 0x30.
        if (end == std::string::npos || !base64Decode(base64, der) || der.size() < 2 ||
            der[0] != 0x30) {
            problem = path + ": certificate " + std::to_string(certificates + 1) +
                      " is not a whole PEM certificate";
            return false;
        }
        ++certificates;
        at = end + kEnd.size();
    }
    if (certificates == 0) {
        problem = path + " holds no PEM certificate (\"" + std::string(kBegin) + "\")";
        return false;
    }
    return true;
}
