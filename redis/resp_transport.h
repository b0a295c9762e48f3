// The bytes under a connection: a plain socket, or a TLS session on it.
// Either way the same four calls, so that the protocol is written once.
#pragma once

#include "platform/socket.h"
#include "platform/tls.h"

#include <memory>
#include <utility>

namespace qc::redis {

class RespTransport {
public:
    RespTransport(platform::Socket socket, std::unique_ptr<platform::TlsStream> tls)
        : m_socket(std::move(socket)), m_tls(std::move(tls)) {}
    // A connection closed in good order tells a TLS server so.
    ~RespTransport() {
        if (m_tls && IsOpen()) m_tls->Close();
    }
    RespTransport(const RespTransport&) = delete;
    RespTransport& operator=(const RespTransport&) = delete;

    bool IsOpen() const { return m_socket.IsOpen(); }
    // Closes it at once, as after a failure: no close_notify.
    void Reset() {
        m_tls.reset();
        m_socket.Reset();
    }

    HRESULT Send(const char* data, std::size_t size, DWORD timeoutMs) {
        if (m_tls) return m_tls->Send(data, size, timeoutMs);
        return platform::SendAll(m_socket.Handle(), data, size, timeoutMs);
    }
    HRESULT ReceiveSome(char* buffer, std::size_t capacity, DWORD timeoutMs, std::size_t* received) {
        if (m_tls) return m_tls->ReceiveSome(buffer, capacity, timeoutMs, received);
        return platform::ReceiveSome(m_socket.Handle(), buffer, capacity, timeoutMs, received);
    }
    bool IdleIsBroken() {
        if (!IsOpen()) return true;
        return m_tls ? m_tls->IdleIsBroken() : platform::IdleSocketIsBroken(m_socket.Handle());
    }

private:
    platform::Socket m_socket;  // outlives the session on it
    std::unique_ptr<platform::TlsStream> m_tls;
};

}  // namespace qc::redis
