// The updater's masked trace to standard error (-X): every flow writes its trace through here.
#pragma once

#include <cstdint>
#include <cstdio>

enum DebugMask : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010, // listed as "DEBUG_Network" in the help; nothing writes it
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

// Writes the formatted text (cut at 2047 bytes) to the sink when mask is 0 or shares a bit with
// the process-wide mask. Returns the bytes written, or mask when suppressed or no sink is set.
int Debug_Print(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The sink is null until the driver sets it, so library users of the updater code stay silent.
void Debug_SetSink(FILE* stream);
// ORs bits into the process-wide mask; it is never cleared.
void Debug_AddMask(uint32_t bits);
uint32_t Debug_GetMask();
