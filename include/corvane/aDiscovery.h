/* Module discovery: the link specifier that says how to reach a module and what it is, and
 * the enumeration of the modules reachable over USB and TCP/IP. Every function may be called
 * from any thread. */
#ifndef CORVANE_ADISCOVERY_H
#define CORVANE_ADISCOVERY_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

/* How a module is reached. Stored as a 32-bit word in a linkSpec. */
typedef enum linkType {
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AETHER = 4 /* a module reached through a local sharing server */
} linkType;

/* The 128-byte link specifier: 32-bit little-endian words, then the rest of a serial port
 * name. The same bytes travel as a sharing server's beacon payload, so the layout is fixed.
 * Records are created zeroed; unknown fields stay 0. */
typedef struct linkSpec {
    uint32_t type;               /* a linkType value */
    uint32_t serialNumber;       /* module serial number */
    uint32_t module;             /* module address on its module network, 0 when unknown */
    uint32_t router;             /* address of the module it is reached through, 0 when unknown */
    uint32_t routerSerialNumber; /* serial number of that router, 0 when unknown */
    uint32_t model;              /* model code */
    uint32_t ipAddress; /* TCP/IP, aEther: IPv4 in network byte order; USB: the serial number
                           again; serial: the baud rate */
    uint32_t port;      /* TCP/IP, aEther: port; serial: first bytes of the port name */
    uint8_t rest[96];   /* zero, or the rest of the serial port name */
} linkSpec;

#ifdef __cplusplus
static_assert(sizeof(linkSpec) == 128, "linkSpec is 128 bytes");
static_assert(offsetof(linkSpec, type) == 0, "linkSpec.type at 0");
static_assert(offsetof(linkSpec, serialNumber) == 4, "linkSpec.serialNumber at 4");
static_assert(offsetof(linkSpec, module) == 8, "linkSpec.module at 8");
static_assert(offsetof(linkSpec, router) == 12, "linkSpec.router at 12");
static_assert(offsetof(linkSpec, routerSerialNumber) == 16, "linkSpec.routerSerialNumber at 16");
static_assert(offsetof(linkSpec, model) == 20, "linkSpec.model at 20");
static_assert(offsetof(linkSpec, ipAddress) == 24, "linkSpec.ipAddress at 24");
static_assert(offsetof(linkSpec, port) == 28, "linkSpec.port at 28");
static_assert(offsetof(linkSpec, rest) == 32, "linkSpec.rest at 32");
#else
_Static_assert(sizeof(linkSpec) == 128, "linkSpec is 128 bytes");
_Static_assert(offsetof(linkSpec, ipAddress) == 24, "linkSpec.ipAddress at 24");
_Static_assert(offsetof(linkSpec, port) == 28, "linkSpec.port at 28");
#endif

/* A new zeroed specifier of the given type; null when memory runs out. Free it with
 * aLinkSpec_Destroy. */
CORVANE_API linkSpec* aLinkSpec_Create(linkType type);

/* A new specifier equal to spec; null when memory runs out. */
CORVANE_API linkSpec* aLinkSpec_Copy(linkSpec spec);

/* Frees *spec and sets *spec to null. aErrParam when spec or *spec is null. */
CORVANE_API aErr aLinkSpec_Destroy(linkSpec** spec);

/* ---- Enumeration. Runs on the caller's thread; never reports errors: a failure ends the
 * enumeration and the modules counted so far are the result. ---- */

/* Called once per module found with a temporary specifier (valid only during the call). Set
 * *found to true to count the module; return true to go on, false to stop. */
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* reference);

/* aEther: the modules local sharing servers offer. Publishes the discovery request on UDP port
 * 8585 and collects the servers' answers for about 2 s (22 receives of at most 100 ms), each
 * serial number reported once. networkInterface 0 or 127.0.0.1 is local mode: only this host's
 * servers are heard, and only answers that carry 127.0.0.1 or the beacon's own address count;
 * another address names the interface to search on. Holds the beacon interface lock (see
 * zBeaconInterface.h) throughout. Returns the number of modules counted. */
CORVANE_API uint32_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback,
                                                        void* reference, uint32_t networkInterface);

/* Enumerates the modules of one link type and returns how many the callback counted.
 * USB: the family's modules on the machine's USB buses (and the emulated ones, see the
 * README), each once, at most 128. TCPIP: a discovery request to multicast group 232.2.2.2
 * port 9888 from every IPv4 interface but loopback, then the 16-byte replies on port 9889 for
 * at most 2000 ms; a module heard on two interfaces is reported twice. AETHER: as
 * aDiscovery_Enumerate_aEtherModules. 0 for other types and for a null callback. networkInterface
 * (IPv4, network byte order) matters only for aEther. */
CORVANE_API uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                                 void* reference, uint32_t networkInterface);

/* A new specifier (free it with aLinkSpec_Destroy) for the first module of the type with this
 * serial number; the enumeration stops as soon as it is found. Null when none answers. */
CORVANE_API linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber,
                                            uint32_t networkInterface);

/* The same for the first module with a non-zero serial number. */
CORVANE_API linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

/* Fills addresses with the IPv4 addresses (network byte order) of the machine's interfaces
 * that are up, loopback included, at most capacity of them; returns how many. 0 for a null
 * array. */
CORVANE_API uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);

/* Writes the dotted text of address (IPv4, network byte order) into buffer and returns its
 * length. 0 when size is below 22, buffer is null or the conversion fails. */
CORVANE_API uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

CORVANE_EXTERN_C_END

#endif
