// Inside the socket seam: what the shared connect (socket_connect.cpp) needs
// from each side. Not for use outside platform/.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

#include "platform/socket.h"

#include <chrono>

namespace qc::platform::detail {

using Clock = std::chrono::steady_clock;

// Opens a socket for one address, with keepalive on, Nagle's delay off and
// no inheritance by child processes, and connects it by the deadline.
HRESULT ConnectOne(const addrinfo& address, Clock::time_point deadline, SocketHandle* result);

// getaddrinfo's failure as an HRESULT.
HRESULT FromResolverError(int error);

}  // namespace qc::platform::detail
