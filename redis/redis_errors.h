// The HRESULTs of the Redis client, each a Win32 code so that scripts and the
// diagnostic log show a message a reader knows.
//
//   connection refused        platform::kSocketRefused       0x8007274D  WSAECONNREFUSED
//   time-out (connect, reply) platform::kSocketTimedOut      0x8007274C  WSAETIMEDOUT
//   connection dropped        platform::kSocketReset         0x80072746  WSAECONNRESET
//   host not found            platform::kSocketHostNotFound  0x80072AF9  WSAHOST_NOT_FOUND
//   wrong or missing password kAccessDenied                  0x80070005  E_ACCESSDENIED
//     or a command or key the user may not use (NOPERM; inside a script,
//     an ERR that says the script's user can't); at AUTH, only a rejected
//     password (WRONGPASS, "invalid password"): any other error reply to
//     AUTH (say "max number of clients reached") is mapped as below
//   reply that is not RESP    kMalformedReply                0x8007000D  ERROR_INVALID_DATA
//   reply or text over a cap  kTooLarge                      0x8007006F  ERROR_BUFFER_OVERFLOW
//   server out of memory      E_OUTOFMEMORY                  0x8007000E
//   server not serving now    kServerNotReady                0x80070015  ERROR_NOT_READY
//     (READONLY: a replica; MASTERDOWN; LOADING; CLUSTERDOWN: a cluster
//     with slots unserved), a connection-class failure
//   server older than 5.0     kServerTooOld                  0x80070032  ERROR_NOT_SUPPORTED
//     (it cannot run the scripts), a failure that counts the server as out
//   any other server error    kServerError                   0x8007054F  ERROR_INTERNAL_ERROR
//   no free connection        kPoolBusy                      0x800700AA  ERROR_BUSY
//     within the time-out (MaxConnections are all in use): this process's
//     limit, not the server's failure, so not a connection-class one
//   sentinels know no primary kNoSuchPrimary                 0x80070490  ERROR_NOT_FOUND
//     of that name
//   a certificate refused     platform::kCert*, kTlsIllegalMessage, kCaFile*
//     (untrusted, another name, expired; no TLS at the port; the CA file):
//     platform/tls.h. Not connection-class failures: they are settings or
//     a server's certificate to mend, which no retry, other server or
//     fallback cures, so a breaker probing for them would only hide them;
//     each call fails with the reason, as with a refused password
// While a server is out (server_breaker.h), its calls fail at once with the
// failure that put it out. The server's own text of an error reply goes to
// the log (IOutageObserver::OnErrorReply). A cluster's redirections (MOVED,
// ASK, TRYAGAIN) are followed by its router (cluster_router.h); one that
// reaches a caller is answered as kServerError.
// (The farm answers an absent entry with E_FAIL, as in process.)
#pragma once

#include "platform/socket.h"

#include <string_view>

namespace qc::redis {

inline constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT kMalformedReply = static_cast<HRESULT>(0x8007000D);
inline constexpr HRESULT kTooLarge = static_cast<HRESULT>(0x8007006F);
inline constexpr HRESULT kServerError = static_cast<HRESULT>(0x8007054F);
inline constexpr HRESULT kServerNotReady = static_cast<HRESULT>(0x80070015);
inline constexpr HRESULT kServerTooOld = static_cast<HRESULT>(0x80070032);

// The least major version of a server the client works with: scripts that
// read the clock (TIME) and then write are replicated by their effects,
// which servers before 5.0 refuse unless a script asks for it.
inline constexpr long kLeastServerMajor = 5;
inline constexpr HRESULT kPoolBusy = static_cast<HRESULT>(0x800700AA);
inline constexpr HRESULT kNoSuchPrimary = static_cast<HRESULT>(0x80070490);

// Redis answers a command it could not read with this and hangs up.
inline bool IsProtocolErrorReply(std::string_view message) { return message.substr(0, 18) == "ERR Protocol error"; }

// Whether an error reply's message starts with the code `code`.
inline bool HasErrorCode(std::string_view message, std::string_view code) {
    return message.substr(0, code.size()) == code && (message.size() == code.size() || message[code.size()] == ' ');
}

// A server that cannot serve this now, though it answers: a replica after a
// failover (READONLY), one cut off from its primary (MASTERDOWN), or one
// still loading its data (LOADING), or a node of a cluster that has slots
// nobody serves (CLUSTERDOWN). Another server, or this one later, will.
inline bool IsNotNowReply(std::string_view message) {
    return HasErrorCode(message, "READONLY") || HasErrorCode(message, "MASTERDOWN") ||
           HasErrorCode(message, "LOADING") || HasErrorCode(message, "CLUSTERDOWN");
}

// AUTH's answer to a password it does not take: WRONGPASS from Redis 6 on,
// "ERR invalid password" before.
inline bool IsRejectedPasswordReply(std::string_view message) {
    return HasErrorCode(message, "WRONGPASS") || message.find("invalid password") != std::string_view::npos;
}

// A script the server has not cached: the script runner sends it whole.
inline bool IsNoScriptReply(std::string_view message) { return HasErrorCode(message, "NOSCRIPT"); }

// A node of a cluster sends a client to the node that owns the key, or asks
// it to try again while the key's slot moves.
inline bool IsClusterRedirect(std::string_view message) {
    return HasErrorCode(message, "MOVED") || HasErrorCode(message, "ASK") || HasErrorCode(message, "TRYAGAIN");
}

// The HRESULT of an error reply, from the code that starts its message.
inline HRESULT HResultOfErrorReply(std::string_view message) {
    if (IsNotNowReply(message)) return kServerNotReady;
    if (HasErrorCode(message, "NOAUTH") || HasErrorCode(message, "WRONGPASS") || HasErrorCode(message, "NOPERM"))
        return kAccessDenied;
    // A server with a password refuses a long command before AUTH this way.
    if (HasErrorCode(message, "ERR") && message.find("unauthenticated") != std::string_view::npos) return kAccessDenied;
    // A script's command or key that the user's rule does not allow.
    if (HasErrorCode(message, "ERR") && message.find("user executing the script can't") != std::string_view::npos)
        return kAccessDenied;
    if (HasErrorCode(message, "OOM")) return E_OUTOFMEMORY;
    return kServerError;
}

// A failure of the connection, or a server that cannot serve now or is too
// old: the kinds that count a server as out (and, for a call that fails so,
// that another try later, or at another server, may succeed). A wrong password, a reply
// the client cannot read or an error reply to the command is none of them.
inline bool IsConnectionFailure(HRESULT result) {
    const unsigned long code = static_cast<unsigned long>(result);
    const bool winsock = (code & 0xFFFF0000u) == 0x80070000u && (code & 0xFFFFu) >= 10000 && (code & 0xFFFFu) < 12000;
    return winsock || result == kServerNotReady || result == kServerTooOld;
}

}  // namespace qc::redis
