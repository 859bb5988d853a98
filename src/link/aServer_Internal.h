// Sharing server calls for the library's own use: what the creation of a shared link tells the
// server once the module is known.
#pragma once

#include "corvane/aServer.h"

// The module behind the server, for its beacon answers (a server whose model is 0 answers no
// discovery request).
void aServer_SetModule(aServer* server, uint32_t serialNumber, uint8_t model);

// The 128-byte beacon answer of a server: a link specifier of type 4 with the serial number,
// model, address (network byte order) and port; every other byte zero.
void aServer_BeaconAnswer(uint32_t serialNumber, uint8_t model, uint32_t address, uint16_t port,
                          uint8_t out[128]);
