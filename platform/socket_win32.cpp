// Winsock side of the socket seam: non-blocking sockets waited on with
// select(), failures as HRESULT_FROM_WIN32 of the Winsock error. select()
// is kept to the waits that need it: a read is tried before waiting, and an
// idle connection is checked with a peek. On some hosts each select() is
// several slow round trips to a socket service, costlier than a read that
// finds nothing, and these come with every command.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>

#include "platform/socket_addresses.h"

namespace qc::platform {
namespace {

using detail::Clock;

const ULONG kKeepAliveIdleMs = 30000;
const ULONG kKeepAliveIntervalMs = 10000;

HRESULT FromWinsockCode(int code) {
    if (code == WSA_NOT_ENOUGH_MEMORY) return E_OUTOFMEMORY;
    return code == 0 ? E_FAIL : static_cast<HRESULT>(0x80070000u | (static_cast<DWORD>(code) & 0xFFFFu));
}
HRESULT LastSocketError() { return FromWinsockCode(::WSAGetLastError()); }

SOCKET AsSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

Clock::time_point DeadlineAfter(DWORD timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

timeval TimeLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    timeval value;
    value.tv_sec = static_cast<long>(left / 1000000);
    value.tv_usec = static_cast<long>(left % 1000000);
    return value;
}

enum class Wait { Read, Write };

// Waits until the socket can be read or written, or the deadline passes. A
// connect that fails shows in the exception set: that is S_FALSE here.
HRESULT WaitFor(SOCKET socket, Wait wait, Clock::time_point deadline) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval left = TimeLeft(deadline);
    const int count = ::select(0, wait == Wait::Read ? &ready : nullptr, wait == Wait::Write ? &ready : nullptr,
                               &failed, &left);
    if (count == SOCKET_ERROR) return LastSocketError();
    if (count == 0) return kSocketTimedOut;
    return FD_ISSET(socket, &failed) ? S_FALSE : S_OK;
}

HRESULT PendingError(SOCKET socket) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return LastSocketError();
    return error == 0 ? S_OK : FromWinsockCode(error);
}

// A socket no child process inherits. Windows before 7 SP1 knows no such
// flag: there the handle is made so after it is made.
SOCKET NewSocket(const addrinfo& address) {
    SOCKET raw = ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (raw == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        raw = ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (raw != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(raw), HANDLE_FLAG_INHERIT, 0);
    }
    return raw;
}

}  // namespace

namespace detail {

HRESULT FromResolverError(int error) { return FromWinsockCode(error); }

HRESULT ConnectOne(const addrinfo& address, Clock::time_point deadline, SocketHandle* result) {
    const SOCKET raw = NewSocket(address);
    if (raw == INVALID_SOCKET) return LastSocketError();
    Socket owner(static_cast<SocketHandle>(raw));
    u_long nonBlocking = 1;
    if (::ioctlsocket(raw, FIONBIO, &nonBlocking) != 0) return LastSocketError();
    const BOOL on = TRUE;
    ::setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // A peer that vanished (a host gone, a firewall that forgot the
    // connection) shows on a connection at rest within a minute or two.
    tcp_keepalive keepAlive{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD returned = 0;
    if (::WSAIoctl(raw, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr, nullptr) != 0)
        ::setsockopt(raw, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);

    if (::connect(raw, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return LastSocketError();
        const HRESULT waited = WaitFor(raw, Wait::Write, deadline);
        if (FAILED(waited)) return waited;
        const HRESULT error = PendingError(raw);
        if (FAILED(error)) return error;
        if (waited == S_FALSE) return E_FAIL;  // failed without saying why
    }
    *result = owner.Release();
    return S_OK;
}

}  // namespace detail

HRESULT StartSockets() {
    WSADATA data;
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    return error == 0 ? S_OK : FromWinsockCode(error);
}
void StopSockets() { ::WSACleanup(); }

HRESULT SendAll(SocketHandle socket, const char* data, std::size_t size, DWORD timeoutMs) {
    const SOCKET raw = AsSocket(socket);
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    while (size > 0) {
        const int chunk = size > 0x40000000u ? 0x40000000 : static_cast<int>(size);
        const int sent = ::send(raw, data, chunk, 0);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
        } else if (sent == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
            const HRESULT waited = WaitFor(raw, Wait::Write, deadline);
            if (FAILED(waited)) return waited;
        } else {
            return LastSocketError();
        }
    }
    return S_OK;
}

HRESULT ReceiveSome(SocketHandle socket, char* buffer, std::size_t capacity, DWORD timeoutMs,
                    std::size_t* received) {
    const SOCKET raw = AsSocket(socket);
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    const int chunk = capacity > 0x40000000u ? 0x40000000 : static_cast<int>(capacity);
    *received = 0;
    for (;;) {
        const int got = ::recv(raw, buffer, chunk, 0);
        if (got > 0) {
            *received = static_cast<std::size_t>(got);
            return S_OK;
        }
        if (got == 0) return kSocketReset;
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return LastSocketError();
        const HRESULT waited = WaitFor(raw, Wait::Read, deadline);
        if (FAILED(waited)) return waited;
    }
}

bool IdleSocketIsBroken(SocketHandle socket) {
    char byte;
    const int got = ::recv(AsSocket(socket), &byte, 1, MSG_PEEK);
    return got != SOCKET_ERROR || ::WSAGetLastError() != WSAEWOULDBLOCK;  // data, closed, or failed
}

void CloseSocket(SocketHandle socket) { ::closesocket(AsSocket(socket)); }

}  // namespace qc::platform
