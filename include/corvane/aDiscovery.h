/* Module discovery: the link specifier that says how to reach a module and what it is, and
 * the enumeration of the modules reachable over USB and TCP/IP. */
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

CORVANE_EXTERN_C_END

#endif
