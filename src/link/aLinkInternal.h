// Link engine calls for the library's own use (sharing server, object layer, tests): start,
// stop and synchronisation of a registered link, the registry fields the sharing server
// fills in, and the engine's timing.
#pragma once

#include "corvane/aLink.h"

#include "aPacketFifoInternal.h"

// Starts the reader and writer threads and waits up to 2 s for the link to run, then queues
// routing on. aErrNone when already running; aErrIndexRange when the link did not come up (a
// link without a stream fails at once); aErrResource when a thread cannot be started.
aErr aLink_Start(aLinkRef link);

// Queues routing off, ends both threads (the writer first sends everything queued) and
// leaves the link LINK_STOPPED. Waits up to 5 s per thread.
aErr aLink_Stop(aLinkRef link);

// Brings a started link back into step with its module: up to 2 s for the module's answer,
// then empties both FIFOs of what the synchronisation left. aErrNotReady when no answer came.
aErr aLink_Sync(aLinkRef link);

// Queues count packets for sending, in order, with one wake-up of the writer per batch; when
// nothing is queued and the writer is idle, the calling thread writes them itself. A run
// longer than the outgoing FIFO's room waits for the writer to make room, for as long as it
// keeps taking packets: aErrTimeout once idleMs pass without one taken (the packets not yet
// queued are not sent). aErrParam for an unknown link or an invalid packet.
aErr aLink_PutPackets(aLinkRef link, const aPacket* packets, size_t count, uint32_t idleMs);

// aPacketFifo_AwaitRun on the incoming FIFO, for as long as the link runs in step (like
// aLink_AwaitFirst): the number of packets taken, 0 on time-out or when the link stops.
size_t aLink_AwaitRun(aLinkRef link, aPacketRunFilter filter, void* reference, uint32_t timeoutMs);

// Packet filters beside the one user filter of aLink_InstallUserPacketFilter, for users that
// share a link (each Link's stream filter): the reader offers every received packet to the
// user filter and then to each added filter in the order added, every one of them, also after
// one has taken it; a packet any of them takes (returns true for) is neither answered as a
// heartbeat nor queued. They run on the thread that reads the link (its reader thread, or a
// caller waiting for a packet that reads for itself) under the link's filter lock, so a
// filter must not add or remove filters, and once a removal returns the filter runs no more.
// Adding the same filter with the same reference again changes nothing. aErrParam for an
// unknown link or a null filter; removing one that is not there is aErrNotFound. The link's
// last use removes them all; aLink_Reset keeps them.
// A filter that hands packets on to another thread may also give endOfBurst, which the reader
// calls (under the same lock) each time it has taken apart what one read brought: a filter
// can then wake its thread once per burst rather than once per packet.
typedef void (*aPacketBurstEnd)(void* reference);
aErr aLink_AddPacketFilter(aLinkRef link, aPacketFilter filter, void* reference,
                           aPacketBurstEnd endOfBurst);
aErr aLink_RemovePacketFilter(aLinkRef link, aPacketFilter filter, void* reference);

// Reads a running link's stream on the calling thread for at most waitMs, as a caller waiting
// for an incoming packet does, taking apart what comes there (its filters run on this thread).
// For a sharing client in this process waiting for an answer: reading the served link itself,
// it has the server's filter send the answer on without a wake-up of that link's reader.
// False, at once, when the stream is not the caller's to read now.
bool aLink_ReadAsCaller(aLinkRef link, uint32_t waitMs);

// A link whose last use also drops one use of partner (the USB link behind a sharing client).
aErr aLink_SetPartner(aLinkRef link, aLinkRef partner);

// Attaches a sharing server object to a USB link: aLink_CreateUSB then refuses the link, and
// the link's last use calls destroy(server) after stopping it. Null detaches.
aErr aLink_AttachServer(aLinkRef link, void* server, void (*destroy)(void* server));

// Takes one more use of the USB link to the module with this serial number that has a sharing
// server attached, and hands out that server in *server: the way in for another client of it
// in this process. 0 (nothing taken) when there is no such link or server is null.
aLinkRef aLink_UseServedUSB(uint32_t serialNumber, void** server);

// The engine's waits and pauses, in milliseconds. The defaults are the library's; tests set
// others so that none of them depends on how busy the machine is. A new value applies to
// links started after it is set.
struct aLinkTiming {
    uint32_t startWaitMs = 2000;     // start: for both threads to run
    uint32_t syncWaitMs = 2000;      // synchronisation: for the module's answer
    uint32_t syncSettleMs = 100;     // synchronisation: for surplus answers, then drained
    uint32_t syncResendMs = 200;     // silence after which the requests go out again
    uint32_t syncRespaceMs = 50;     // bytes that break synchronisation resend no more often
    uint32_t readWaitMs = 50;        // longest wait of an idle reader for its next byte
    uint32_t idleWatchMs = 1000;     // the same, where a stop can call it away (TCP links)
    uint32_t readErrorPauseMs = 100; // pause after a failed read
    uint32_t writerWaitMs = 1000;    // longest wait of the writer for an outgoing packet
    uint32_t threadEndWaitMs = 5000; // stop: for each thread to end
    uint32_t replyWaitMs = 1000;     // address and model queries: for the answer
    uint32_t reopenPauseMs = 100;    // reset: between attempts to reopen the stream
};
aLinkTiming aLink_GetTiming();
void aLink_SetTiming(const aLinkTiming& timing);

// Stops the threads of every registered link, as at exit; the links stay registered. The exit
// work (aAtExit.h) calls it before the sharing layer's sockets, which those threads use, close.
void aLink_StopAll();
