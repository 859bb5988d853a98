// The Winsock headers of the socket address types and their text forms, for the tools' shared
// address code (SocketAddresses.cpp).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
