// POSIX side of the socket seam: non-blocking sockets waited on with poll(),
// errno translated to the Winsock code of the same failure.
#include "platform/socket_addresses.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qc::platform {
namespace {

using detail::Clock;

const int kKeepAliveIdleSeconds = 30;
const int kKeepAliveIntervalSeconds = 10;
const int kKeepAliveProbes = 3;

HRESULT FromWinsockCode(LONG code) { return static_cast<HRESULT>(0x80070000u | (static_cast<DWORD>(code) & 0xFFFFu)); }

HRESULT FromErrno(int error) {
    switch (error) {
        case ECONNREFUSED: return kSocketRefused;
        case ETIMEDOUT: return kSocketTimedOut;
        case ECONNRESET:
        case EPIPE: return kSocketReset;
        case ECONNABORTED: return FromWinsockCode(10053);
        case ENETUNREACH: return FromWinsockCode(10051);
        case EHOSTUNREACH: return FromWinsockCode(10065);
        case ENETDOWN: return FromWinsockCode(10050);
        case EHOSTDOWN: return FromWinsockCode(10064);
        case EADDRNOTAVAIL: return FromWinsockCode(10049);
        case EAFNOSUPPORT: return FromWinsockCode(10047);
        case EMFILE: return FromWinsockCode(10024);
        case ENOBUFS: return FromWinsockCode(10055);
        case ENOTCONN: return FromWinsockCode(10057);
        case EACCES: return FromWinsockCode(10013);
        case ENOMEM: return E_OUTOFMEMORY;
        default: return E_FAIL;
    }
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the socket is ready for `events` or the deadline passes.
HRESULT WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready > 0) return S_OK;  // errors and hang-ups surface in the call that follows
        if (ready == 0) return kSocketTimedOut;
        if (errno != EINTR) return FromErrno(errno);
    }
}

Clock::time_point DeadlineAfter(DWORD timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

}  // namespace

namespace detail {

HRESULT FromResolverError(int error) {
    switch (error) {
        case EAI_AGAIN: return FromWinsockCode(11002);  // WSATRY_AGAIN
        case EAI_MEMORY: return E_OUTOFMEMORY;
        case EAI_SYSTEM: return FromErrno(errno);
        default: return kSocketHostNotFound;
    }
}

HRESULT ConnectOne(const addrinfo& address, Clock::time_point deadline, SocketHandle* result) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) return FromErrno(errno);
    Socket owner(fd);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A peer that vanished (a host gone, a firewall that forgot the
    // connection) shows on a connection at rest within a minute or two.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof kKeepAliveIdleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof kKeepAliveIntervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);

    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return FromErrno(errno);
        const HRESULT waited = WaitFor(fd, POLLOUT, deadline);
        if (FAILED(waited)) return waited;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return FromErrno(errno);
        if (error != 0) return FromErrno(error);
    }
    *result = owner.Release();
    return S_OK;
}

}  // namespace detail

HRESULT StartSockets() { return S_OK; }
void StopSockets() {}

HRESULT SendAll(SocketHandle socket, const char* data, std::size_t size, DWORD timeoutMs) {
    const int fd = static_cast<int>(socket);
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const HRESULT waited = WaitFor(fd, POLLOUT, deadline);
            if (FAILED(waited)) return waited;
        } else if (sent < 0 && errno != EINTR) {
            return FromErrno(errno);
        }
    }
    return S_OK;
}

HRESULT ReceiveSome(SocketHandle socket, char* buffer, std::size_t capacity, DWORD timeoutMs,
                    std::size_t* received) {
    const int fd = static_cast<int>(socket);
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    *received = 0;
    for (;;) {
        const HRESULT waited = WaitFor(fd, POLLIN, deadline);
        if (FAILED(waited)) return waited;
        const ssize_t got = ::recv(fd, buffer, capacity, 0);
        if (got > 0) {
            *received = static_cast<std::size_t>(got);
            return S_OK;
        }
        if (got == 0) return kSocketReset;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return FromErrno(errno);
    }
}

bool IdleSocketIsBroken(SocketHandle socket) {
    pollfd entry{static_cast<int>(socket), POLLIN, 0};
    return ::poll(&entry, 1, 0) != 0;  // readable, hung up, failed, or poll itself failed
}

void CloseSocket(SocketHandle socket) { ::close(static_cast<int>(socket)); }

}  // namespace qc::platform
