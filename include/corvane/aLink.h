/* Module links: one connection to a module over one stream, with a reader thread that turns
 * bytes into packets, keeps the byte stream in step with the module and answers its
 * heartbeats, and a writer thread that sends queued packets. A caller waiting for a packet
 * reads the stream itself, as the reader thread would, while no one else reads it. Links live in a
 * process-wide registry and are known by small positive identifiers; identical requests share one
 * link.
 *
 * On the wire a packet is its address, its length (0 to 28) and its data bytes, back to back.
 * Every function may be called from any thread. */
#ifndef CORVANE_ALINK_H
#define CORVANE_ALINK_H

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"
#include "aStream.h"

CORVANE_EXTERN_C_BEGIN

/* Identifier of a link; 0 is never a link. */
typedef uint32_t aLinkRef;

typedef enum linkStatus {
    LINK_STOPPED = 0,  /* set up with a stream, threads not running */
    LINK_STARTING = 1, /* threads being started */
    LINK_RUNNING = 2,  /* threads running and in step with the module */
    LINK_STOPPING = 3, /* stop in progress */
    LINK_SYNCING = 4,  /* falling back into step with the module */
    LINK_INVALID = 5,  /* no stream, or no such link */
    IO_ERROR = 6,      /* the last stream read failed; a completed synchronisation clears it */
    LINK_ERROR = 8     /* a received packet could not be queued */
} linkStatus;

/* Link-level control packets (odd addresses, never a module's). */
#define aLINK_SYNC_ADDRESS 0xAD    /* length 0: synchronisation request, asks for the address */
#define aLINK_ROUTING_ADDRESS 0xAF /* length 1: data 1 routing on (at start), 0 off (at stop) */

/* ---- Creation. Each returns the link's identifier, or 0 on failure (nothing is then left
 * registered). A request for a link that exists already returns it and adds one use; each
 * use is dropped by one aLink_Destroy. ---- */

/* A link over a stream the caller made; the link owns the stream from then on (on failure
 * the stream stays the caller's). Every call makes a new link. Started, not synchronised.
 * 0 for a null or invalid stream. */
CORVANE_API aLinkRef aLink_Create(aStream* stream);

/* The module with this serial number over USB: started and synchronised with the module.
 * Shared with an existing USB link to the same serial number. */
CORVANE_API aLinkRef aLink_CreateUSB(uint32_t serialNumber);

/* A module over TCP at address (IPv4, network byte order) and port (host order). Started, not
 * synchronised (the stream starts in step). Shared with an existing link to the same address
 * and port. */
CORVANE_API aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port);

/* A module on a serial port (a device path, or a name under /dev) at 2400, 4800, 9600, 19200,
 * 38400, 57600, 115200 or 230400 baud, 8 data bits, no parity, one stop bit; any other rate
 * fails. Started, not synchronised. Shared with an existing serial link of the same key (the
 * module's serial number). */
CORVANE_API aLinkRef aLink_CreateSerial(uint32_t key, const char* portName, uint32_t baudRate);

/* A link to a local sharing server at address (IPv4, network byte order) and port, through a
 * client stream (see aServer.h). With a non-zero existing link, that link is returned instead
 * (0 when it does not exist). A new client link is never shared with another request. Started,
 * not synchronised; aLink_Reset opens its client stream anew. */
CORVANE_API aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing);

/* The module with this serial number over USB, shared through a local sharing server: opens
 * the USB link, starts a server on it (listening on loopback only when localOnly is true, else
 * on *interfaceAddress, an IPv4 address in network byte order, or the first interface when it
 * is 0), and returns a client link to that server, through which this process uses the module
 * like every other client. *port receives the server's port and *interfaceAddress its address.
 * Destroying the client link also drops the USB link and, with its last use, the server.
 * When this process serves the module already, the result is a new client link to that server.
 * 0 on failure or for a null port or interfaceAddress. */
CORVANE_API aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port,
                                        uint32_t* interfaceAddress, bool localOnly);

/* ---- Use and teardown. ---- */

/* Drops one use of *link and sets *link to 0. The last use stops the link (the writer sends
 * what is queued, then routing off), and frees its stream, FIFOs and debug log.
 * aErrParam for a null pointer or an unknown link. */
CORVANE_API aErr aLink_Destroy(aLinkRef* link);

/* Stops the link, opens its stream anew (up to 20 attempts, 100 ms apart) with fresh FIFOs
 * and starts it again; returns the start's result. The user packet filter, the pooled-packets
 * flag and the packet debug log are kept. aErrParam for an unknown link and for a link over a
 * caller's stream (which cannot be reopened; it is left as it was). */
CORVANE_API aErr aLink_Reset(aLinkRef link);

/* The link's status; LINK_INVALID for an unknown link. */
CORVANE_API linkStatus aLink_GetStatus(aLinkRef link);

/* Queues a copy of the packet for sending (the caller keeps its own). On the library's own
 * streams (TCP/IP, USB, sharing client) a packet that finds nothing queued and the link's
 * writer idle is written at once by the calling thread instead, in the same order. aErrParam
 * for an unknown link or an invalid packet. */
CORVANE_API aErr aLink_PutPacket(aLinkRef link, const aPacket* packet);

/* The packet FIFO operations on the link's incoming packets (see aPacketFifo.h); null or 0
 * for an unknown link. Returned packets are the caller's, to free with aPacket_Destroy. */
CORVANE_API aPacket* aLink_GetPacket(aLinkRef link);
CORVANE_API aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs);
CORVANE_API aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter filter, void* reference);
CORVANE_API size_t aLink_DrainPackets(aLinkRef link, aPacketFilter filter, void* reference);

/* Waits up to timeoutMs for the first incoming packet the filter accepts. Null at once when
 * the link is not running in step with its module, or the filter is null; null on time-out. */
CORVANE_API aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter filter, void* reference,
                                      uint32_t timeoutMs);

/* Installs (or with a null filter removes) the user packet filter. It runs on the thread that
 * reads the link (its reader thread, or a caller waiting for a packet that reads for itself)
 * with every received packet before anything else sees it; returning true consumes
 * the packet. It must not install filters or destroy its link. aErrParam for an unknown
 * link. The object layer's stream filters of the Links on this link are offered every
 * packet after it, also one it consumed, and are kept when it is replaced or removed. */
CORVANE_API aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter,
                                               void* reference);

/* With pooling on, the writer sends queued packets in batches of up to 4096 bytes, one
 * stream write each. Leave it off for streams that take one packet per write. aErrParam for
 * an unknown link. */
CORVANE_API aErr aLink_EnablePooledPackets(aLinkRef link, bool on);

/* Asks the module at the other end for its address (a synchronisation request, answered by
 * empty packets from that address: a module sends two) and waits up to 1000 ms. The whole
 * answer is taken: empty packets already waiting before the request, and the second packet
 * when it has come with the first. aErrTimeout without an answer, aErrIO for another packet
 * (which is consumed), aErrParam for an unknown link or a null address. */
CORVANE_API aErr aLink_GetModuleAddress(aLinkRef link, uint8_t* address);

/* Asks the module at moduleAddress for its model code and waits up to 1000 ms for the answer
 * (length 4, from that address, command 3; the model is its fourth byte). Empty packets, the
 * rest of an address answer, are dropped on the way. aErrTimeout without an answer, aErrIO for
 * another packet (which is consumed), aErrParam for an unknown link or a null model. */
CORVANE_API aErr aLink_GetModel(aLinkRef link, uint8_t moduleAddress, uint8_t* model);

/* ---- Packet debug log: a ring of the packets sent (tag 1) and received (tag 2) while it is
 * enabled, each entry holding the packet's address, length and data, plus entries callers
 * write themselves. ---- */

/* Size of the ring in bytes, before the first enable (default 0x10000). A negative size is
 * taken as 0 (the default). aErrParam above 0x4000000 bytes or for an unknown link; aErrBusy
 * once the log exists. */
CORVANE_API aErr aLink_PacketDebug_SetLogSize(aLinkRef link, int32_t size);
/* Creates the log if needed and starts recording. aErrResource when it cannot be created. */
CORVANE_API aErr aLink_PacketDebug_Enable(aLinkRef link);
/* Stops recording; the entries stay readable. aErrNotReady when there is no log. */
CORVANE_API aErr aLink_PacketDebug_Disable(aLinkRef link);
/* Takes the oldest entry: *tag its tag, buffer its bytes; on entry *length is the capacity of
 * buffer, on return the entry's length (see aPacketLog_Get). aErrNotReady without a log. */
CORVANE_API aErr aLink_PacketDebug_Read(aLinkRef link, uint8_t* tag, uint8_t* length,
                                        uint8_t* buffer);
/* Appends an entry of the caller's own. aErrNotReady without a log. */
CORVANE_API aErr aLink_PacketDebug_Write(aLinkRef link, uint8_t tag, uint8_t length,
                                         const uint8_t* data);

CORVANE_EXTERN_C_END

#endif
