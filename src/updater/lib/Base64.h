// Base64 text of BIRD files: the update server encodes them, the Updater decodes them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Decodes standard-alphabet Base64 with "=" padding (RFC 4648) into out, replacing its contents.
// Fails, leaving out empty, when the length is not a multiple of 4, when a character lies outside
// the alphabet, or when "=" appears anywhere but in the last two places. Empty text decodes to
// zero bytes.
bool base64Decode(std::string_view text, std::vector<uint8_t>& out);

// Encodes bytes as standard-alphabet Base64 with "=" padding.
std::string base64Encode(const uint8_t* data, size_t length);
// The same, appended to text: a reply is built in one string, without a copy of the encoding.
void base64Append(std::string& text, const uint8_t* data, size_t length);
