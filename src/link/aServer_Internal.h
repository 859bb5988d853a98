// Sharing server calls for the library's own use: the layout of its beacon answer.
#pragma once

#include "corvane/aServer.h"

// The 128-byte beacon answer of a server: a link specifier of type 4 with the serial number,
// model, address (network byte order) and port; every other byte zero.
void aServer_BeaconAnswer(uint32_t serialNumber, uint8_t model, uint32_t address, uint16_t port,
                          uint8_t out[128]);
