// The lab's certificate authority file for an https update server: checked before any connection,
// so a wrong path or a file of something else is named as such and not as a failed handshake.
#pragma once

#include <string>

// Where the Updater takes the file from when --ca-file is not given.
inline constexpr const char* kCaFileVariable = "CORVANE_CA_FILE";

// True when path is a readable file of at most 1 MiB holding one or more PEM certificates
// ("-----BEGIN CERTIFICATE-----" blocks whose Base64 text decodes to a DER sequence; text outside
// the blocks is left alone, as TLS libraries do); otherwise problem says what is wrong.
bool checkCaFile(const std::string& path, std::string& problem);
