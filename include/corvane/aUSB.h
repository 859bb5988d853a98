/* The family's USB conventions as the library applies them: the vendor id its modules carry, and
 * the entries of USB emulation, which shows virtual modules to the USB layer as attached ones. */
#ifndef CORVANE_AUSB_H
#define CORVANE_AUSB_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

/* The environment variable that overrides the built-in vendor id. */
#define aUSB_VENDOR_ID_VARIABLE "CORVANE_USB_VENDOR_ID"
/* The environment variable that lists emulated modules, entries separated by commas. */
#define aUSB_EMULATION_VARIABLE "CORVANE_USB_EMULATION"

/* Reads text as the library reads aUSB_VENDOR_ID_VARIABLE: one to four hexadecimal digits,
 * "0x" or "0X" before them optional. aErrNone with the id in *vendorId; aErrParse when text is
 * no vendor id (an empty text included), *vendorId then left alone; aErrParam when text or
 * vendorId is null. Thread-safe. */
CORVANE_API aErr aUSB_ParseVendorId(const char* text, uint16_t* vendorId);

/* The vendor id that discovery and USB links look for: aUSB_VENDOR_ID_VARIABLE when it is set
 * and aUSB_ParseVendorId takes it, else the built-in default. The environment is read on every
 * call. aErrParam when vendorId is null. */
CORVANE_API aErr aUSB_GetVendorId(uint16_t* vendorId);

/* The built-in default vendor id (the build's setting). aErrParam when vendorId is null. */
CORVANE_API aErr aUSB_GetDefaultVendorId(uint16_t* vendorId);

/* One emulated module: the entry "SERIAL:MODEL@ADDRESS:PORT" read. */
typedef struct aUSBEmulatedModule {
    uint32_t serialNumber; /* SERIAL: one to eight hexadecimal digits */
    uint32_t address;      /* ADDRESS: a dotted IPv4 address (no name), network byte order */
    uint16_t port;         /* PORT: decimal, 1 to 65535; the virtual module's TCP port */
    uint8_t model;         /* MODEL: hexadecimal, 1 to FF */
} aUSBEmulatedModule;

/* The first part of an entry found malformed, in the order they are checked. */
typedef enum aUSBEntryFault {
    aUSBEntryFine = 0,    /* the entry was read */
    aUSBEntryShape = 1,   /* not SERIAL:MODEL@ADDRESS:PORT */
    aUSBEntrySerial = 2,  /* SERIAL */
    aUSBEntryModel = 3,   /* MODEL */
    aUSBEntryAddress = 4, /* ADDRESS */
    aUSBEntryPort = 5     /* PORT */
} aUSBEntryFault;

/* Reads one entry of aUSB_EMULATION_VARIABLE (a single entry: no comma, no blank around it).
 * aErrNone with the module in *module; aErrParse when the entry is malformed, *module then left
 * alone; aErrParam when entry or module is null. fault, when not null, receives what was wrong
 * (aUSBEntryFine on success and for aErrParam). Names are never looked up. Thread-safe. */
CORVANE_API aErr aUSB_ParseEmulationEntry(const char* entry, aUSBEmulatedModule* module,
                                          aUSBEntryFault* fault);

CORVANE_EXTERN_C_END

#endif
