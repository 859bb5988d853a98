// A BIRD file's reply encoded while it is written out, for the CGI front end: a process that
// answers one request gains nothing from holding the 4/3-size reply whole, and on a small
// machine filling that much fresh memory costs more than the encoding itself.
#pragma once

#include "RegularFile.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace updateserver {

// The reply's length for a BIRD file of fileBytes: "ok", a line feed, the Base64 text and a
// line feed, as the daemon sends it whole.
uint64_t birdReplyLength(uint64_t fileBytes);

// An opened BIRD file whose reply is yet to be written. The size is the one the file had when it
// was opened: the reply announces that length, so a file that shrinks while it is sent makes
// writeTo fail rather than send something else.
class BirdReplySource {
  public:
    // Opens path as a regular file of at most maxBytes; false with the reason in problem.
    bool open(const std::string& path, uint64_t maxBytes, std::string& problem);

    uint64_t replyLength() const { return birdReplyLength(file_.size()); }

    // Writes the whole reply, exactly replyLength() bytes, on out. False with the reason in
    // problem when the file could not be read to its opened size or out refused the bytes.
    bool writeTo(FILE* out, std::string& problem);

  private:
    RegularFile file_;
};

} // namespace updateserver
