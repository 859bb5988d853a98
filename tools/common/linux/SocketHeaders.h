// The Linux headers of the socket address types and their text forms, for the tools' shared
// address code (SocketAddresses.cpp).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
