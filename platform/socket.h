// TCP client sockets behind the seam: what the farm's protocol client needs
// from the operating system, and nothing more.
//
// Every call is bounded: a connect, a send or a wait for data gives up after
// the time-out it is given and reports it, so no caller can hang on a server
// that stopped answering. Sockets are non-blocking inside; the waits are the
// OS's poll (POSIX) or select (Winsock). Failures are HRESULTs in the Win32
// facility carrying the Winsock error code, the same number on both sides
// (the POSIX side maps errno to it), so a caller and its tests see one code
// for one failure wherever they run:
//   kSocketRefused    nothing listens at that address (WSAECONNREFUSED)
//   kSocketTimedOut   the time-out ran out (WSAETIMEDOUT)
//   kSocketReset      the peer closed or reset the connection (WSAECONNRESET)
//   kSocketHostNotFound  the host name does not resolve (WSAHOST_NOT_FOUND)
// and HRESULT_FROM_WIN32 of other Winsock codes, or E_FAIL for an errno
// without a Winsock twin.
//
// Each side (socket_posix.cpp, socket_win32.cpp; the build picks one) provides
// the functions below but ConnectTcp, which is shared (socket_connect.cpp), as
// are the owners at the end of this file.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace qc::platform {

inline constexpr HRESULT kSocketRefused = static_cast<HRESULT>(0x8007274D);       // 10061
inline constexpr HRESULT kSocketTimedOut = static_cast<HRESULT>(0x8007274C);      // 10060
inline constexpr HRESULT kSocketReset = static_cast<HRESULT>(0x80072746);         // 10054
inline constexpr HRESULT kSocketHostNotFound = static_cast<HRESULT>(0x80072AF9);  // 11001

// The OS's socket handle (a SOCKET or a file descriptor), held as an integer.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Prepares the socket library for this process (WSAStartup; nothing on
// POSIX). Every successful call is paired with one StopSockets.
HRESULT StartSockets();
void StopSockets();

// Connects to host:port (a name or a numeric address; each address it
// resolves to is tried in turn, IPv6 and IPv4) within timeoutMs, name
// resolution included, with Nagle's delay off and TCP keepalive on. No
// child process inherits the socket.
HRESULT ConnectTcp(const char* host, unsigned short port, DWORD timeoutMs, SocketHandle* socket);

// Sends every byte, waiting at most timeoutMs in all.
HRESULT SendAll(SocketHandle socket, const char* data, std::size_t size, DWORD timeoutMs);

// Waits at most timeoutMs for data and takes what has arrived, at least one
// byte and at most capacity. A closed peer is kSocketReset.
HRESULT ReceiveSome(SocketHandle socket, char* buffer, std::size_t capacity, DWORD timeoutMs,
                    std::size_t* received);

// For a connection resting between commands, which should have nothing to
// read: true when the peer has closed it, it has failed, or bytes wait that
// nobody asked for. Does not wait.
bool IdleSocketIsBroken(SocketHandle socket);

void CloseSocket(SocketHandle socket);

// Owns one StartSockets for its lifetime.
class SocketLibrary {
public:
    SocketLibrary() : m_started(StartSockets()) {}
    ~SocketLibrary() {
        if (SUCCEEDED(m_started)) StopSockets();
    }
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;

    // S_OK, or why the library could not be started.
    HRESULT Status() const { return m_started; }

private:
    HRESULT m_started;
};

// Owns one connected socket; closes it when destroyed or reset.
class Socket {
public:
    Socket() = default;
    explicit Socket(SocketHandle handle) : m_handle(handle) {}
    ~Socket() { Reset(); }
    Socket(Socket&& other) noexcept : m_handle(std::exchange(other.m_handle, kNoSocket)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Reset();
            m_handle = std::exchange(other.m_handle, kNoSocket);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    SocketHandle Handle() const { return m_handle; }
    bool IsOpen() const { return m_handle != kNoSocket; }
    void Reset() {
        if (m_handle != kNoSocket) CloseSocket(std::exchange(m_handle, kNoSocket));
    }
    // Hands the handle on; this owner holds none afterwards.
    SocketHandle Release() { return std::exchange(m_handle, kNoSocket); }

private:
    SocketHandle m_handle = kNoSocket;
};

}  // namespace qc::platform
