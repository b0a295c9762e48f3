// Client TLS over a connected socket, behind the seam: the system's own TLS
// on Windows (tls_win32.cpp), OpenSSL elsewhere (tls_openssl.cpp).
//
// A stream is TLS 1.2 or later, and the server is always verified: its chain
// must lead to one of the machine's trusted roots or to a certificate of the
// optional CA file (PEM or DER), and the certificate must name serverName (a
// host name, or an address checked against the certificate's addresses),
// which also goes out as SNI when it is a name. There is no way to turn the
// check off. Every call is bounded by the time-out it is given, as the
// socket's are.
//
// Failures are the HRESULTs the Windows side reports, the same numbers on
// both sides, so a caller and its tests see one code for one failure:
//   kCertUntrustedRoot  the chain leads to no trusted root (CERT_E_UNTRUSTEDROOT)
//   kCertNameMismatch   the certificate names another server (CERT_E_CN_NO_MATCH)
//   kCertExpired        it has expired or is not yet valid (CERT_E_EXPIRED)
//   kCertUnusable       any other reason to refuse it (SEC_E_CERT_UNKNOWN)
//   kTlsIllegalMessage  the peer does not speak TLS, or ends the handshake
//                       with an alert (SEC_E_ILLEGAL_MESSAGE)
//   kTlsUnsupported     the system's TLS cannot be set up for a client
//                       (SEC_E_UNSUPPORTED_FUNCTION)
//   kCaFileUnreadable   the CA file cannot be opened (ERROR_FILE_NOT_FOUND)
//   kCaFileEmpty        it holds no certificate (CRYPT_E_NOT_FOUND)
// and the socket's own (platform/socket.h) for the network, a time-out in
// the middle of a handshake included. A peer's close_notify is kSocketReset,
// as a plain socket's close is.
#pragma once

#include "platform/socket.h"

#include <cstddef>
#include <memory>
#include <string>

namespace qc::platform {

inline constexpr HRESULT kCertUntrustedRoot = static_cast<HRESULT>(0x800B0109);
inline constexpr HRESULT kCertNameMismatch = static_cast<HRESULT>(0x800B010F);
inline constexpr HRESULT kCertExpired = static_cast<HRESULT>(0x800B0101);
inline constexpr HRESULT kCertUnusable = static_cast<HRESULT>(0x80090327);
inline constexpr HRESULT kTlsIllegalMessage = static_cast<HRESULT>(0x80090326);
inline constexpr HRESULT kTlsUnsupported = static_cast<HRESULT>(0x80090302);
inline constexpr HRESULT kCaFileUnreadable = static_cast<HRESULT>(0x80070002);
inline constexpr HRESULT kCaFileEmpty = static_cast<HRESULT>(0x80092004);

// Why the client refused what the server showed, in words for the log: a
// certificate, the CA file, or a peer that does not speak TLS. Null for any
// other failure.
inline const char* TlsRefusalReason(HRESULT result) {
    switch (result) {
        case kCertUntrustedRoot: return "its certificate leads to no trusted root";
        case kCertNameMismatch: return "its certificate names another server";
        case kCertExpired: return "its certificate has expired or is not valid yet";
        case kCertUnusable: return "its certificate cannot be used";
        case kTlsIllegalMessage: return "it does not speak TLS";
        case kTlsUnsupported: return "the system's TLS cannot be set up for a client";
        case kCaFileUnreadable: return "the CA certificate file cannot be read";
        case kCaFileEmpty: return "the CA certificate file holds no certificate";
        default: return nullptr;
    }
}

struct TlsSettings {
    std::string serverName;  // checked against the certificate; required
    std::string caFile;      // trusted beside the machine's roots; empty: none
};

// One TLS session on a socket it does not own: the socket must outlive it.
// Not thread-safe, as the socket is not.
class TlsStream {
public:
    // Shakes hands within timeoutMs and verifies the server.
    static HRESULT Connect(SocketHandle socket, const TlsSettings& settings, DWORD timeoutMs,
                           std::unique_ptr<TlsStream>* stream);

    virtual ~TlsStream() = default;  // without close_notify: see Close

    // As SendAll and ReceiveSome (platform/socket.h), through the session.
    virtual HRESULT Send(const char* data, std::size_t size, DWORD timeoutMs) = 0;
    virtual HRESULT ReceiveSome(char* buffer, std::size_t capacity, DWORD timeoutMs, std::size_t* received) = 0;

    // As IdleSocketIsBroken; what the server sends a session after the
    // handshake (say, session tickets) is taken in and is no reason.
    virtual bool IdleIsBroken() = 0;

    // Tells the server the session ends (close_notify), without waiting for
    // its answer; for a connection closed in good order.
    virtual void Close() = 0;
};

}  // namespace qc::platform
