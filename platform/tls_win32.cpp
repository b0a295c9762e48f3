// Windows side of the TLS seam: the system's own TLS (SChannel, through
// SSPI), so that the DLL brings no TLS library. SSPI only transforms
// buffers; the bytes go through the socket seam's own calls, with the same
// waits, time-outs and error codes as a plain connection.
//
// What arrives is kept in one buffer, m_in: records that are not yet
// decrypted, after the plain text of the last record decrypted in place
// and not yet taken:
//   [ taken | plain text (m_plain, m_plainLeft) | ciphertext (m_cipher..m_inEnd) | free ]
// A read appends after the ciphertext; once the plain text is all taken,
// the ciphertext is moved to the front before the next read. SSPI may take
// part of what it is given (SECBUFFER_EXTRA: the rest is the next record or
// message) or ask for more (SEC_E_INCOMPLETE_MESSAGE: a record split across
// reads).
#include <winsock2.h>

#include "platform/tls.h"
#include "platform/tls_deadline.h"
#include "platform/tls_win32_certificates.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace qc::platform {
namespace {

using detail::Clock;
using detail::DeadlineAfter;
using detail::MillisecondsLeft;
using detail::CertStore;
using detail::Certificate;

constexpr std::size_t kReceiveChunk = 16 * 1024;
// Plain text encrypted before it is sent: a large command goes a piece at a
// time rather than held twice whole.
constexpr std::size_t kSendChunk = 64 * 1024;
// What a peer may make the client hold before a handshake message or a
// record is whole; far more than either needs.
constexpr std::size_t kMaxPending = 256 * 1024;
// The most reads an idle check takes in, as on the POSIX side.
constexpr int kIdleReads = 4;
constexpr char kAlertRecord = 21;

constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

// A status SSPI gave for a session that cannot go on, as tls.h reports it.
HRESULT FromSecurityStatus(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_INSUFFICIENT_MEMORY: return E_OUTOFMEMORY;
        case SEC_I_CONTEXT_EXPIRED:
        case SEC_E_CONTEXT_EXPIRED: return kSocketReset;
        default: return kTlsIllegalMessage;
    }
}

// The client's credentials: no certificate of its own, TLS 1.2, and the
// server's certificate left to the caller to check. One handle serves every
// session of the process; the last session to end frees it.
class Credentials {
public:
    static HRESULT Shared(std::shared_ptr<Credentials>* credentials) {
        static SRWLOCK lock = SRWLOCK_INIT;
        static std::weak_ptr<Credentials> shared;
        ::AcquireSRWLockExclusive(&lock);
        *credentials = shared.lock();
        HRESULT result = S_OK;
        if (!*credentials) {
            auto acquired = std::make_shared<Credentials>();
            result = acquired->Acquire();
            if (SUCCEEDED(result)) shared = *credentials = std::move(acquired);
        }
        ::ReleaseSRWLockExclusive(&lock);
        return result;
    }

    Credentials() = default;
    ~Credentials() {
        if (m_acquired) ::FreeCredentialsHandle(&m_handle);
    }
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    CredHandle* Handle() { return &m_handle; }

private:
    HRESULT Acquire() {
        SCHANNEL_CRED wanted{};
        wanted.dwVersion = SCHANNEL_CRED_VERSION;
        wanted.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        const SECURITY_STATUS status =
            ::AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                        &wanted, nullptr, nullptr, &m_handle, nullptr);
        m_acquired = status == SEC_E_OK;
        return m_acquired ? S_OK : status == SEC_E_INSUFFICIENT_MEMORY ? E_OUTOFMEMORY : kTlsUnsupported;
    }

    CredHandle m_handle{};
    bool m_acquired = false;
};

struct ContextBufferFree {
    void operator()(void* buffer) const { ::FreeContextBuffer(buffer); }
};
using ContextBuffer = std::unique_ptr<void, ContextBufferFree>;

class SchannelStream final : public TlsStream {
public:
    SchannelStream(SocketHandle socket, std::shared_ptr<Credentials> credentials)
        : m_socket(socket), m_credentials(std::move(credentials)) {}
    ~SchannelStream() override {
        if (m_contextMade) ::DeleteSecurityContext(&m_context);
    }
    SchannelStream(const SchannelStream&) = delete;
    SchannelStream& operator=(const SchannelStream&) = delete;

    HRESULT Start(const TlsSettings& settings, Clock::time_point deadline);

    HRESULT Send(const char* data, std::size_t size, DWORD timeoutMs) override;
    HRESULT ReceiveSome(char* buffer, std::size_t capacity, DWORD timeoutMs, std::size_t* received) override;
    bool IdleIsBroken() override;
    void Close() override;

private:
    // Runs handshake messages, from the ciphertext held and what follows,
    // until SSPI has what it wants: the first handshake, or a message that
    // comes after it (SEC_I_RENEGOTIATE).
    HRESULT Negotiate(Clock::time_point deadline);
    // One InitializeSecurityContext on `input` (null: none); sends what it
    // writes, however it ends.
    SECURITY_STATUS Step(SecBufferDesc* input, Clock::time_point deadline, HRESULT* sent);
    HRESULT Verify(const TlsSettings& settings);
    // Decrypts the next record that carries plain text: S_OK with m_plain
    // set, S_FALSE when no whole record is held, or why the session ends.
    HRESULT DecryptNext(Clock::time_point deadline);
    // Appends what the socket has, waiting until the deadline.
    // REQUIRES: no plain text left (it lies in the buffer this moves).
    HRESULT Feed(Clock::time_point deadline);
    // Keeps the last `extra` bytes of the ciphertext held: the rest is used.
    void KeepExtra(std::size_t extra) { m_cipher = m_inEnd - std::min(extra, m_inEnd - m_cipher); }
    HRESULT Break(HRESULT why) {
        m_broken = true;
        return why;
    }

    SocketHandle m_socket;
    std::shared_ptr<Credentials> m_credentials;  // outlives the context made with it
    CtxtHandle m_context{};
    bool m_contextMade = false;
    std::string m_targetName;  // SNI; empty for an address
    SecPkgContext_StreamSizes m_sizes{};
    std::vector<char> m_in;
    std::size_t m_cipher = 0;
    std::size_t m_inEnd = 0;
    const char* m_plain = nullptr;
    std::size_t m_plainLeft = 0;
    std::vector<char> m_out;
    bool m_broken = false;
};

HRESULT SchannelStream::Start(const TlsSettings& settings, Clock::time_point deadline) {
    if (settings.serverName.empty()) return Break(E_INVALIDARG);
    // SNI carries host names only.
    if (detail::AddressBytes(settings.serverName).empty()) m_targetName = settings.serverName;
    HRESULT result = Negotiate(deadline);
    if (SUCCEEDED(result)) result = Verify(settings);
    if (SUCCEEDED(result)) {
        const SECURITY_STATUS sized = ::QueryContextAttributesA(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes);
        if (sized != SEC_E_OK) result = FromSecurityStatus(sized);
    }
    return FAILED(result) ? Break(result) : S_OK;
}

SECURITY_STATUS SchannelStream::Step(SecBufferDesc* input, Clock::time_point deadline, HRESULT* sent) {
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    ULONG attributes = 0;
    const SECURITY_STATUS status = ::InitializeSecurityContextA(
        m_credentials->Handle(), m_contextMade ? &m_context : nullptr,
        m_targetName.empty() ? nullptr : &m_targetName[0], kRequest, 0, 0, input, 0,
        m_contextMade ? nullptr : &m_context, &output, &attributes, nullptr);
    const ContextBuffer written(token.pvBuffer);
    // A first call that fails makes no context.
    if (!m_contextMade) m_contextMade = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
    *sent = token.cbBuffer != 0 && token.pvBuffer != nullptr
                ? SendAll(m_socket, static_cast<const char*>(token.pvBuffer), token.cbBuffer, MillisecondsLeft(deadline))
                : S_OK;
    return status;
}

HRESULT SchannelStream::Negotiate(Clock::time_point deadline) {
    bool askedAgain = false;
    for (;;) {
        // With nothing to answer, a call starts a handshake: it writes the
        // client's hello.
        const bool answering = m_contextMade && m_cipher != m_inEnd;
        SecBuffer held[2] = {{static_cast<unsigned long>(m_inEnd - m_cipher), SECBUFFER_TOKEN, m_in.data() + m_cipher},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc input{SECBUFFER_VERSION, 2, held};
        HRESULT sent = S_OK;
        const SECURITY_STATUS status = Step(answering ? &input : nullptr, deadline, &sent);
        // The server asks for a certificate and the client has none: SSPI
        // goes on without one when given the same message again.
        if (status == SEC_I_INCOMPLETE_CREDENTIALS && !askedAgain) {
            askedAgain = true;
            continue;
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {  // a message split across reads
            const HRESULT fed = Feed(deadline);
            if (FAILED(fed)) return fed;
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return FromSecurityStatus(status);
        if (FAILED(sent)) return sent;
        if (answering) KeepExtra(held[1].BufferType == SECBUFFER_EXTRA ? held[1].cbBuffer : 0);
        if (status == SEC_E_OK) return S_OK;  // what is left is the first records
        if (m_cipher == m_inEnd) {
            const HRESULT fed = Feed(deadline);
            if (FAILED(fed)) return fed;
        }
    }
}

HRESULT SchannelStream::Verify(const TlsSettings& settings) {
    CertStore ca;
    if (!settings.caFile.empty()) {
        const HRESULT loaded = detail::LoadCaFile(settings.caFile, &ca);
        if (FAILED(loaded)) return loaded;
    }
    PCCERT_CONTEXT shown = nullptr;
    const SECURITY_STATUS got = ::QueryContextAttributesA(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &shown);
    if (got != SEC_E_OK || shown == nullptr) return kCertUnusable;
    const Certificate server(shown);
    return detail::VerifyServerCertificate(server.get(), ca.get(), settings.serverName);
}

HRESULT SchannelStream::Feed(Clock::time_point deadline) {
    if (m_cipher != 0) {
        std::memmove(m_in.data(), m_in.data() + m_cipher, m_inEnd - m_cipher);
        m_inEnd -= m_cipher;
        m_cipher = 0;
    }
    if (m_in.size() - m_inEnd < kReceiveChunk) {
        if (m_inEnd + kReceiveChunk > kMaxPending) return kTlsIllegalMessage;
        m_in.resize(m_inEnd + kReceiveChunk);
    }
    std::size_t received = 0;
    const HRESULT got = platform::ReceiveSome(m_socket, m_in.data() + m_inEnd, m_in.size() - m_inEnd,
                                              MillisecondsLeft(deadline), &received);
    m_inEnd += received;
    return got;
}

HRESULT SchannelStream::DecryptNext(Clock::time_point deadline) {
    while (m_cipher != m_inEnd) {
        SecBuffer parts[4] = {{static_cast<unsigned long>(m_inEnd - m_cipher), SECBUFFER_DATA, m_in.data() + m_cipher},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message{SECBUFFER_VERSION, 4, parts};
        // A TLS 1.2 record's type is in the clear.
        const bool alert = m_in[m_cipher] == kAlertRecord;
        const SECURITY_STATUS status = ::DecryptMessage(&m_context, &message, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return S_FALSE;
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return FromSecurityStatus(status);
        const SecBuffer* plain = nullptr;
        std::size_t extra = 0;
        for (const SecBuffer& part : parts) {
            if (part.BufferType == SECBUFFER_DATA) plain = &part;
            if (part.BufferType == SECBUFFER_EXTRA) extra = part.cbBuffer;
        }
        KeepExtra(extra);
        if (status == SEC_I_RENEGOTIATE) {
            // A handshake message after the handshake (the server asks to
            // renegotiate): SSPI takes it as a handshake step.
            const HRESULT negotiated = Negotiate(deadline);
            if (FAILED(negotiated)) return negotiated;
            continue;
        }
        if (plain != nullptr && plain->cbBuffer != 0) {
            m_plain = static_cast<const char*>(plain->pvBuffer);
            m_plainLeft = plain->cbBuffer;
            return S_OK;
        }
        // Some systems take a close_notify in silence, as an empty record,
        // where others say SEC_I_CONTEXT_EXPIRED; an alert that leaves the
        // session going is a close either way.
        if (alert) return kSocketReset;
    }
    return S_FALSE;
}

HRESULT SchannelStream::Send(const char* data, std::size_t size, DWORD timeoutMs) {
    if (m_broken) return kSocketReset;
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    const std::size_t overhead = m_sizes.cbHeader + m_sizes.cbTrailer;
    while (size > 0) {
        // Records for up to kSendChunk of plain text, laid out one after
        // another and sent at once.
        m_out.resize(std::min(size, kSendChunk) + overhead * (kSendChunk / m_sizes.cbMaximumMessage + 1));
        std::size_t laid = 0;
        for (std::size_t taken = 0; size > 0 && taken < kSendChunk;) {
            const std::size_t piece = std::min({size, kSendChunk - taken, std::size_t{m_sizes.cbMaximumMessage}});
            char* record = m_out.data() + laid;
            std::memcpy(record + m_sizes.cbHeader, data, piece);
            SecBuffer parts[4] = {{m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                                  {static_cast<unsigned long>(piece), SECBUFFER_DATA, record + m_sizes.cbHeader},
                                  {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + m_sizes.cbHeader + piece},
                                  {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message{SECBUFFER_VERSION, 4, parts};
            const SECURITY_STATUS status = ::EncryptMessage(&m_context, 0, &message, 0);
            if (status != SEC_E_OK) return Break(FromSecurityStatus(status));
            laid += parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer;
            data += piece;
            size -= piece;
            taken += piece;
        }
        const HRESULT sent = SendAll(m_socket, m_out.data(), laid, MillisecondsLeft(deadline));
        if (FAILED(sent)) return Break(sent);
    }
    return S_OK;
}

HRESULT SchannelStream::ReceiveSome(char* buffer, std::size_t capacity, DWORD timeoutMs, std::size_t* received) {
    *received = 0;
    if (m_broken) return kSocketReset;
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    while (m_plainLeft == 0) {
        HRESULT result = DecryptNext(deadline);
        if (result == S_FALSE) result = Feed(deadline);
        if (FAILED(result)) return Break(result);
    }
    // A record larger than the caller's buffer is given out over several reads.
    const std::size_t given = std::min(capacity, m_plainLeft);
    std::memcpy(buffer, m_plain, given);
    m_plain += given;
    m_plainLeft -= given;
    *received = given;
    return S_OK;
}

bool SchannelStream::IdleIsBroken() {
    if (m_broken || m_plainLeft != 0) return true;
    // Nothing came since the last record: the common case, in one look.
    if (!IdleSocketIsBroken(m_socket)) return false;
    for (int read = 0; read < kIdleReads; ++read) {
        if (FAILED(Feed(Clock::now()))) return true;  // closed or failed
        if (!IdleSocketIsBroken(m_socket)) break;
    }
    // What came may be messages of the session's own; plain text that
    // nobody asked for, a close_notify or anything SSPI refuses is a reason.
    if (DecryptNext(Clock::now()) != S_FALSE) return true;
    return IdleSocketIsBroken(m_socket);
}

void SchannelStream::Close() {
    if (m_broken) return;
    m_broken = true;
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc token{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(&m_context, &token) != SEC_E_OK) return;
    HRESULT sent = S_OK;
    Step(nullptr, Clock::now(), &sent);  // writes the close_notify; as far as the socket takes it at once
}

}  // namespace

HRESULT TlsStream::Connect(SocketHandle socket, const TlsSettings& settings, DWORD timeoutMs,
                           std::unique_ptr<TlsStream>* stream) {
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    std::shared_ptr<Credentials> credentials;
    const HRESULT acquired = Credentials::Shared(&credentials);
    if (FAILED(acquired)) return acquired;
    auto made = std::make_unique<SchannelStream>(socket, std::move(credentials));
    const HRESULT started = made->Start(settings, deadline);
    if (FAILED(started)) return started;
    *stream = std::move(made);
    return S_OK;
}

}  // namespace qc::platform
