// POSIX side of the TLS seam, on OpenSSL. The session reads and writes
// memory buffers, and the bytes go through the socket seam's own calls: the
// same waits, time-outs and error codes as a plain connection, and the same
// shape as the Windows side, where SSPI, too, only transforms buffers.
#include "platform/tls.h"
#include "platform/tls_deadline.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace qc::platform {
namespace {

using detail::Clock;
using detail::DeadlineAfter;
using detail::MillisecondsLeft;

constexpr std::size_t kReceiveChunk = 16 * 1024;
// Each write is encrypted into memory before it is sent: a large command is
// sent a piece at a time rather than held twice whole.
constexpr std::size_t kSendChunk = 64 * 1024;
// The most reads an idle check takes in; a server that sends more while the
// connection rests sends more than session tickets.
constexpr int kIdleReads = 4;

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SessionFree {
    void operator()(SSL* session) const { SSL_free(session); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;

// What the chain's check found, as the Windows side reports it.
HRESULT FromVerifyResult(long result) {
    switch (result) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID: return kCertExpired;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH: return kCertNameMismatch;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: return kCertUntrustedRoot;
        default: return kCertUnusable;
    }
}

bool IsAddress(const std::string& name) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, name.c_str(), address) == 1 || ::inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// Trusts the certificates of a PEM file (one or more) or a DER file (one).
HRESULT TrustCaFile(SSL_CTX* context, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return kCaFileUnreadable;
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() > INT_MAX) return kCaFileEmpty;
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    int trusted = 0;
    std::unique_ptr<BIO, BioFree> pem(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!pem) return E_OUTOFMEMORY;
    while (CertificatePtr certificate{PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr)}) {
        if (X509_STORE_add_cert(store, certificate.get()) == 1) ++trusted;
    }
    if (trusted == 0) {
        const auto* der = reinterpret_cast<const unsigned char*>(bytes.data());
        if (CertificatePtr certificate{d2i_X509(nullptr, &der, static_cast<long>(bytes.size()))})
            trusted = X509_STORE_add_cert(store, certificate.get());
    }
    ERR_clear_error();  // the PEM reader's end of input, or a file that was not DER
    return trusted > 0 ? S_OK : kCaFileEmpty;
}

class OpenSslStream final : public TlsStream {
public:
    explicit OpenSslStream(SocketHandle socket) : m_socket(socket) {}

    HRESULT Start(const TlsSettings& settings, Clock::time_point deadline);

    HRESULT Send(const char* data, std::size_t size, DWORD timeoutMs) override;
    HRESULT ReceiveSome(char* buffer, std::size_t capacity, DWORD timeoutMs, std::size_t* received) override;
    bool IdleIsBroken() override;
    void Close() override;

private:
    HRESULT Prepare(const TlsSettings& settings);
    // Sends what the session has written.
    HRESULT Flush(Clock::time_point deadline);
    // Hands the session what the socket has for it, waiting until the deadline.
    HRESULT Feed(Clock::time_point deadline);
    // The session cannot go on: nothing more is sent on it, close_notify neither.
    HRESULT Break(HRESULT why) {
        m_broken = true;
        return why;
    }

    SocketHandle m_socket;
    std::unique_ptr<SSL_CTX, ContextFree> m_context;
    std::unique_ptr<SSL, SessionFree> m_session;
    BIO* m_in = nullptr;   // owned by the session
    BIO* m_out = nullptr;  // owned by the session
    bool m_broken = false;
};

HRESULT OpenSslStream::Prepare(const TlsSettings& settings) {
    m_context.reset(SSL_CTX_new(TLS_client_method()));
    if (!m_context) return E_OUTOFMEMORY;
    SSL_CTX* context = m_context.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // The machine's roots from the hashed directory (SSL_CERT_DIR, else the
    // system's), looked up as a chain needs them: loading the whole bundle
    // file would cost every new connection a parse of every root. A machine
    // without roots trusts only the CA file.
    const char* roots = std::getenv(X509_get_default_cert_dir_env());
    SSL_CTX_load_verify_dir(context, roots != nullptr ? roots : X509_get_default_cert_dir());
    ERR_clear_error();
    if (!settings.caFile.empty()) {
        const HRESULT trusted = TrustCaFile(context, settings.caFile);
        if (FAILED(trusted)) return trusted;
    }
    m_session.reset(SSL_new(context));
    std::unique_ptr<BIO, BioFree> in(BIO_new(BIO_s_mem()));
    std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
    if (!m_session || !in || !out) return E_OUTOFMEMORY;
    // An empty buffer means "wait for more", not the end of the stream.
    BIO_set_mem_eof_return(in.get(), -1);
    BIO_set_mem_eof_return(out.get(), -1);
    m_in = in.release();
    m_out = out.release();
    SSL_set_bio(m_session.get(), m_in, m_out);
    if (settings.serverName.empty() || SSL_set1_host(m_session.get(), settings.serverName.c_str()) != 1)
        return E_INVALIDARG;
    // SNI carries host names only.
    if (!IsAddress(settings.serverName) && SSL_set_tlsext_host_name(m_session.get(), settings.serverName.c_str()) != 1)
        return E_INVALIDARG;
    SSL_set_connect_state(m_session.get());
    return S_OK;
}

HRESULT OpenSslStream::Start(const TlsSettings& settings, Clock::time_point deadline) {
    HRESULT result = Prepare(settings);
    if (FAILED(result)) return Break(result);
    for (;;) {
        ERR_clear_error();
        const int shaken = SSL_do_handshake(m_session.get());
        const int error = SSL_get_error(m_session.get(), shaken);
        if (shaken == 1 || error == SSL_ERROR_WANT_READ) {
            if (FAILED(result = Flush(deadline))) return Break(result);
            if (shaken == 1) return S_OK;
            if (FAILED(result = Feed(deadline))) return Break(result);
            continue;
        }
        const long verified = SSL_get_verify_result(m_session.get());
        result = verified != X509_V_OK ? FromVerifyResult(verified) : kTlsIllegalMessage;
        Flush(deadline);  // the alert that tells the server why, if it can go
        ERR_clear_error();
        return Break(result);
    }
}

HRESULT OpenSslStream::Flush(Clock::time_point deadline) {
    char* data = nullptr;
    const long pending = BIO_get_mem_data(m_out, &data);
    if (pending <= 0) return S_OK;
    const HRESULT sent = SendAll(m_socket, data, static_cast<std::size_t>(pending), MillisecondsLeft(deadline));
    BIO_reset(m_out);
    return sent;
}

HRESULT OpenSslStream::Feed(Clock::time_point deadline) {
    char buffer[kReceiveChunk];
    std::size_t received = 0;
    const HRESULT got = platform::ReceiveSome(m_socket, buffer, sizeof buffer, MillisecondsLeft(deadline), &received);
    if (FAILED(got)) return got;
    return BIO_write(m_in, buffer, static_cast<int>(received)) == static_cast<int>(received) ? S_OK : E_OUTOFMEMORY;
}

HRESULT OpenSslStream::Send(const char* data, std::size_t size, DWORD timeoutMs) {
    if (m_broken) return kSocketReset;
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    while (size > 0) {
        const int piece = static_cast<int>(std::min(size, kSendChunk));
        ERR_clear_error();
        const int written = SSL_write(m_session.get(), data, piece);
        if (written <= 0) return Break(E_OUTOFMEMORY);  // into memory, which only a shortage fails
        data += written;
        size -= static_cast<std::size_t>(written);
        const HRESULT sent = Flush(deadline);
        if (FAILED(sent)) return Break(sent);
    }
    return S_OK;
}

HRESULT OpenSslStream::ReceiveSome(char* buffer, std::size_t capacity, DWORD timeoutMs, std::size_t* received) {
    *received = 0;
    if (m_broken) return kSocketReset;
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        ERR_clear_error();
        const int got = SSL_read(m_session.get(), buffer, static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)));
        if (got > 0) {
            *received = static_cast<std::size_t>(got);
            return S_OK;
        }
        switch (SSL_get_error(m_session.get(), got)) {
            case SSL_ERROR_WANT_READ: break;
            case SSL_ERROR_ZERO_RETURN: return Break(kSocketReset);  // the server's close_notify
            default: ERR_clear_error(); return Break(kTlsIllegalMessage);
        }
        // A record may ask for an answer (a key update) before the data comes.
        HRESULT result = Flush(deadline);
        if (SUCCEEDED(result)) result = Feed(deadline);
        if (FAILED(result)) return Break(result);
    }
}

bool OpenSslStream::IdleIsBroken() {
    if (m_broken) return true;
    for (int read = 0; read < kIdleReads && IdleSocketIsBroken(m_socket); ++read) {
        if (FAILED(Feed(Clock::now()))) return true;  // closed or failed
    }
    ERR_clear_error();
    char byte;
    const int peeked = SSL_peek(m_session.get(), &byte, 1);
    const bool broken = peeked > 0 || SSL_get_error(m_session.get(), peeked) != SSL_ERROR_WANT_READ;
    ERR_clear_error();
    return broken || IdleSocketIsBroken(m_socket);
}

void OpenSslStream::Close() {
    if (m_broken) return;
    ERR_clear_error();
    SSL_shutdown(m_session.get());
    Flush(Clock::now());  // as far as the socket takes it at once
    ERR_clear_error();
    m_broken = true;
}

}  // namespace

HRESULT TlsStream::Connect(SocketHandle socket, const TlsSettings& settings, DWORD timeoutMs,
                           std::unique_ptr<TlsStream>* stream) {
    auto made = std::make_unique<OpenSslStream>(socket);
    const HRESULT started = made->Start(settings, DeadlineAfter(timeoutMs));
    if (FAILED(started)) return started;
    *stream = std::move(made);
    return S_OK;
}

}  // namespace qc::platform
