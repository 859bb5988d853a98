// Encoding a BIRD file's reply piece by piece through one small buffer.
#include "BirdReplyStream.h"

#include "Base64.h"

#include <vector>

namespace updateserver {

namespace {

// A multiple of 3, so every piece but the last encodes without padding and the pieces join into
// the same text as one encoding of the whole file.
constexpr size_t kPieceBytes = 3 * 64 * 1024;

} // namespace

uint64_t birdReplyLength(uint64_t fileBytes) {
    return 3 + (fileBytes + 2) / 3 * 4 + 1;
}

bool BirdReplySource::open(const std::string& path, uint64_t maxBytes, std::string& problem) {
    if (file_.open(path) != aErrNone) {
        problem = path + ": read failed";
        return false;
    }
    // The listing left out larger files; one that grew since is refused, as the daemon does.
    if (file_.size() > maxBytes) {
        file_.close();
        problem = path + ": read failed";
        return false;
    }
    return true;
}

bool BirdReplySource::writeTo(FILE* out, std::string& problem) {
    if (!file_.isOpen()) {
        problem = "no BIRD file open";
        return false;
    }
    std::vector<uint8_t> piece(kPieceBytes);
    std::string text;
    text.reserve(kPieceBytes / 3 * 4);
    if (std::fwrite("ok\n", 1, 3, out) != 3) {
        problem = "the reply could not be written";
        return false;
    }
    for (uint64_t left = file_.size(); left > 0;) {
        const size_t want = left < kPieceBytes ? static_cast<size_t>(left) : kPieceBytes;
        size_t got = 0;
        if (file_.read(piece.data(), want, got) != aErrNone || got != want) {
            problem = "the BIRD file ended or failed while it was sent";
            return false;
        }
        text.clear();
        base64Append(text, piece.data(), got);
        if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) {
            problem = "the reply could not be written";
            return false;
        }
        left -= got;
    }
    if (std::fputc('\n', out) == EOF) {
        problem = "the reply could not be written";
        return false;
    }
    return true;
}

} // namespace updateserver
