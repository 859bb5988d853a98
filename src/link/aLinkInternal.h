// Link engine calls for the library's own use (sharing server, object layer, tests): start,
// stop and synchronisation of a registered link, and the registry fields the sharing server
// fills in.
#pragma once

#include "corvane/aLink.h"

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

// A link whose last use also drops one use of partner (the USB link behind a sharing client).
aErr aLink_SetPartner(aLinkRef link, aLinkRef partner);

// Attaches a sharing server object to a USB link: aLink_CreateUSB then refuses the link, and
// the link's last use calls destroy(server) after stopping it. Null detaches.
aErr aLink_AttachServer(aLinkRef link, void* server, void (*destroy)(void* server));
