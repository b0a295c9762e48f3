// The HRESULTs of the Redis client, each a Win32 code so that scripts and the
// diagnostic log show a message a reader knows.
//
//   connection refused        platform::kSocketRefused       0x8007274D  WSAECONNREFUSED
//   time-out (connect, reply) platform::kSocketTimedOut      0x8007274C  WSAETIMEDOUT
//   connection dropped        platform::kSocketReset         0x80072746  WSAECONNRESET
//   host not found            platform::kSocketHostNotFound  0x80072AF9  WSAHOST_NOT_FOUND
//   wrong or missing password kAccessDenied                  0x80070005  E_ACCESSDENIED
//   reply that is not RESP    kMalformedReply                0x8007000D  ERROR_INVALID_DATA
//   reply or text over a cap  kTooLarge                      0x8007006F  ERROR_BUFFER_OVERFLOW
//   server out of memory      E_OUTOFMEMORY                  0x8007000E
//   any other server error    kServerError                   0x8007054F  ERROR_INTERNAL_ERROR
// (The farm answers an absent entry with E_FAIL, as in process.)
#pragma once

#include "platform/socket.h"

#include <new>
#include <string_view>

namespace qc::redis {

inline constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT kMalformedReply = static_cast<HRESULT>(0x8007000D);
inline constexpr HRESULT kTooLarge = static_cast<HRESULT>(0x8007006F);
inline constexpr HRESULT kServerError = static_cast<HRESULT>(0x8007054F);

// Redis answers a command it could not read with this and hangs up.
inline bool IsProtocolErrorReply(std::string_view message) { return message.substr(0, 18) == "ERR Protocol error"; }

// The HRESULT of an error reply, from the code that starts its message.
inline HRESULT HResultOfErrorReply(std::string_view message) {
    const auto startsWith = [&](std::string_view code) {
        return message.substr(0, code.size()) == code &&
               (message.size() == code.size() || message[code.size()] == ' ');
    };
    if (startsWith("NOAUTH") || startsWith("WRONGPASS") || startsWith("NOPERM")) return kAccessDenied;
    // A server with a password refuses a long command before AUTH this way.
    if (startsWith("ERR") && message.find("unauthenticated") != std::string_view::npos) return kAccessDenied;
    if (startsWith("OOM")) return E_OUTOFMEMORY;
    return kServerError;
}

// Runs body, turning a failed allocation into E_OUTOFMEMORY: the client's
// and the farm's public calls return HRESULTs and never throw.
template <class Body>
HRESULT ReturningHResult(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace qc::redis
