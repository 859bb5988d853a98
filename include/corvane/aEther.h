/* aEther discovery: the modules that local sharing servers offer, found through their beacons
 * on UDP port 8585 (link type 4, AETHER). */
#ifndef CORVANE_AETHER_H
#define CORVANE_AETHER_H

#include "aDiscovery.h"

CORVANE_EXTERN_C_BEGIN

/* Called once per module found with a specifier valid only during the call. Set *found to
 * true to count the module; return true to go on, false to stop. */
typedef bool (*aEtherModuleFound)(const linkSpec* spec, bool* found, void* reference);

/* Publishes the discovery request and collects the servers' answers for about 2 s (22
 * receives of at most 100 ms), reporting each serial number once. networkInterface is an IPv4
 * address in network byte order; 0 or 127.0.0.1 is local mode: only this host's servers are
 * heard, and only answers that carry 127.0.0.1 or the beacon's own address count. Returns the
 * number of modules counted; 0 on any failure. Holds the beacon interface lock throughout. */
CORVANE_API size_t aDiscovery_Enumerate_aEtherModules(aEtherModuleFound callback, void* reference,
                                                      uint32_t networkInterface);

CORVANE_EXTERN_C_END

#endif
