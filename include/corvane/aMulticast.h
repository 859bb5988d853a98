/* A small UDP multicast helper: one socket that sends datagrams to a group, or receives the
 * group's datagrams on its port, over one IPv4 interface. */
#ifndef CORVANE_AMULTICAST_H
#define CORVANE_AMULTICAST_H

#include "aDefs.h"

CORVANE_EXTERN_C_BEGIN

typedef struct aMulticast aMulticast;

/* A sender (sender true) or a receiver (bound to any address at port) for the IPv4 group text
 * (dotted, such as "232.2.2.2"; names are not looked up) on interfaceAddress (IPv4, network byte
 * order; 0 means 127.0.0.1). It joins the group on the interface, sends through it with
 * time-to-live 1 and loop-back on, and waits at most 1000 ms per receive. Null when the group is
 * no dotted address, the port cannot be bound or any setting fails. */
CORVANE_API aMulticast* aMulticast_Create(uint32_t interfaceAddress, const char* group,
                                          uint16_t port, bool sender);

/* Sends one datagram to the group: the bytes sent, -1 on failure, -2 for a null multicast, -3
 * for a receiver. */
CORVANE_API int aMulticast_Send(aMulticast* multicast, const uint8_t* data, size_t length);

/* Receives one datagram into buffer (cut to size): its length, -1 on failure or after 1000 ms
 * without one, -2 for a null multicast, -3 for a sender. */
CORVANE_API int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size);

/* Closes and frees *multicast and sets it to null: 0, or -2 when there is none. */
CORVANE_API int aMulticast_Destroy(aMulticast** multicast);

CORVANE_EXTERN_C_END

#endif
