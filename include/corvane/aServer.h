/* Local link sharing: a server that lets several processes (and, when allowed, other hosts)
 * use one module at once, and the client stream through which they reach it. The server
 * forwards each client's packets to the module and returns every packet that answers a request
 * to the client that asked it: an answer is told by what it answers (the address request: empty
 * packets; a UEI: its module, command, option, index and the reply's operation; another
 * command: its module and command), and requests that one packet could answer both never wait
 * for the module at the same time. Clients are served in turn, each with at most 16 requests
 * waiting and 4 with the module, so one client that floods the server or asks a module that
 * never answers delays only itself. A packet that answers nothing the server asked (a value the
 * module sends on its own, a late reply) goes to the clients that talked to its module and
 * command lately, and stays on the link for the link's own users. Stream packets go to every
 * client that enabled streaming (at most 64; a client found gone is forgotten).
 * Servers answer discovery beacons on UDP port 8585 with their link specifier.
 *
 * Clients talk to a server over ZeroMQ (a DEALER to the server's ROUTER); each message is one
 * frame of packet bytes: address, length, data. A local-only server listens on 127.0.0.1. */
#ifndef CORVANE_ASERVER_H
#define CORVANE_ASERVER_H

#include "aDefs.h"
#include "aError.h"
#include "aLink.h"
#include "aStream.h"

CORVANE_EXTERN_C_BEGIN

/* How a request handed to the module ends inside the server. */
#define SERVER_CMD_DROPPED_PACKET 0   /* no reply came: the client's own wait times out */
#define SERVER_CMD_INCOMING_PACKETS 1 /* the replies go to the client that asked */

typedef struct aServer aServer;

/* A server record for the engine link (not started). interfaceAddress is an IPv4 address in
 * network byte order; 0 stands for 127.0.0.1. Null for an unknown link. */
CORVANE_API aServer* aServer_Create(aLinkRef link, uint32_t interfaceAddress, bool localOnly);

/* Binds the server's sockets, starts its beacon and tasks and takes over the packets the
 * link receives that answer its clients (a packet filter). True on success; on failure
 * nothing keeps running. A server whose beacon could not start (its port taken without
 * sharing, no usable interface) still serves clients that know its port:
 * aServer_IsDiscoverable tells. */
CORVANE_API bool aServer_Start(aServer* server);

/* The module behind the server, for its beacon answers: the serial number and model it
 * announces. A server answers no discovery request until its model is set (not 0). */
CORVANE_API void aServer_SetModule(aServer* server, uint32_t serialNumber, uint8_t model);

/* True when the server answers discovery requests: it runs, its beacon runs and its model is
 * set. False for a null or invalid server. */
CORVANE_API bool aServer_IsDiscoverable(const aServer* server);

/* The port clients connect to (0 before a successful start) and the interface address. */
CORVANE_API uint16_t aServer_GetPort(const aServer* server);
CORVANE_API uint32_t aServer_GetInterface(const aServer* server);

/* Makes the server forget every client waiting for a reply. aErrParam for a server that is
 * not running. */
CORVANE_API aErr aServer_FlushFIFO(aServer* server);

/* Stops the server (its tasks, beacon and sockets, and its filter on the link), frees it and
 * sets *server to null. A server attached to a link is destroyed with the link's last use
 * instead. aErrParam for a null or invalid server. */
CORVANE_API aErr aServer_Destroy(aServer** server);

/* A stream to the sharing server at address (IPv4, network byte order) and port: each write
 * goes to the server as one frame (write one packet per call), reads return the bytes of the
 * server's frames in order. A read with nothing to return waits up to 1000 ms, then answers
 * aErrNotReady. aErrParam for a null stream pointer; aErrMemory when sockets or memory run
 * out; aErrConnection when a socket cannot connect; aErrResource when the stream cannot be
 * made. The connection itself is made in the background: a server that does not answer shows
 * as reads that find nothing. */
CORVANE_API aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream);

CORVANE_EXTERN_C_END

#endif
