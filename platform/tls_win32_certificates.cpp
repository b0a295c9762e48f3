// The server's certificate checked by hand, in the order the POSIX side
// reports its findings: where the chain leads first, then its dates, then
// the name. The chain's own trust status is read before the SSL policy is
// asked anything, since some systems' policy passes a chain whose issuer
// was never found (a partial chain) without a word.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/tls_win32_certificates.h"

#include "platform/tls.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace qc::platform::detail {
namespace {

// winhttp.h's flag for the SSL policy: the root is not one of the machine's.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
// A CA file larger than this is no CA file.
constexpr long kMaxCaFile = 1024 * 1024;

struct ChainFree {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const { ::CertFreeCertificateChain(chain); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;
struct FileClose {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct LocalMemoryFree {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

std::wstring Utf16Of(const std::string& utf8) {
    const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                            nullptr, 0);
    std::wstring wide(units > 0 ? units : 0, L'\0');
    if (units > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], units);
    return wide;
}

bool ReadWhole(const std::string& path, std::string* bytes) {
    const std::wstring widePath = Utf16Of(path);
    if (widePath.empty()) return false;
    std::unique_ptr<FILE, FileClose> file(::_wfopen(widePath.c_str(), L"rb"));
    if (!file) return false;
    char chunk[4096];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get())) {
        if (bytes->size() + got > static_cast<std::size_t>(kMaxCaFile)) return false;
        bytes->append(chunk, got);
    }
    return std::ferror(file.get()) == 0;
}

bool AddEncoded(HCERTSTORE store, const void* der, std::size_t size) {
    return ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, static_cast<const BYTE*>(der),
                                              static_cast<DWORD>(size), CERT_STORE_ADD_USE_EXISTING, nullptr) != FALSE;
}

// Adds each "BEGIN CERTIFICATE" block of a PEM text; how many it added.
int AddPemCertificates(HCERTSTORE store, std::string_view text) {
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    int added = 0;
    for (std::size_t begin = text.find(kBegin); begin != std::string_view::npos; begin = text.find(kBegin, begin)) {
        std::size_t end = text.find(kEnd, begin);
        if (end == std::string_view::npos) break;
        end += kEnd.size();
        const DWORD length = static_cast<DWORD>(end - begin);
        DWORD size = 0;
        if (::CryptStringToBinaryA(text.data() + begin, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                   nullptr)) {
            std::string der(size, '\0');
            if (::CryptStringToBinaryA(text.data() + begin, length, CRYPT_STRING_BASE64HEADER,
                                       reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr) &&
                AddEncoded(store, der.data(), size))
                ++added;
        }
        begin = end;
    }
    return added;
}

bool SameEncoding(PCCERT_CONTEXT one, PCCERT_CONTEXT other) {
    return one->cbCertEncoded == other->cbCertEncoded &&
           std::memcmp(one->pbCertEncoded, other->pbCertEncoded, one->cbCertEncoded) == 0;
}

// Whether the chain ends at one of the CA file's certificates, byte for byte.
bool EndsAtOneOf(const CERT_CHAIN_CONTEXT& chain, HCERTSTORE ca) {
    if (ca == nullptr || chain.cChain == 0 || chain.rgpChain[0]->cElement == 0) return false;
    const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
    PCCERT_CONTEXT root = simple.rgpElement[simple.cElement - 1]->pCertContext;
    for (PCCERT_CONTEXT trusted = ::CertEnumCertificatesInStore(ca, nullptr); trusted != nullptr;
         trusted = ::CertEnumCertificatesInStore(ca, trusted)) {
        if (SameEncoding(root, trusted)) {
            ::CertFreeCertificateContext(trusted);  // the enumeration's reference, ended early
            return true;
        }
    }
    return false;
}

// Whether one of the certificate's subject alternative names is `address`.
bool NamesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
    const CERT_INFO& info = *certificate->pCertInfo;
    const CERT_EXTENSION* extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
    if (extension == nullptr) return false;
    CERT_ALT_NAME_INFO* raw = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                               extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &raw, &size))
        return false;
    const std::unique_ptr<CERT_ALT_NAME_INFO, LocalMemoryFree> names(raw);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
            std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::string AddressBytes(const std::string& name) {
    unsigned char address[16];
    if (::InetPtonA(AF_INET, name.c_str(), address) == 1) return std::string(reinterpret_cast<char*>(address), 4);
    if (::InetPtonA(AF_INET6, name.c_str(), address) == 1) return std::string(reinterpret_cast<char*>(address), 16);
    return {};
}

HRESULT LoadCaFile(const std::string& path, CertStore* store) {
    std::string bytes;
    if (!ReadWhole(path, &bytes)) return kCaFileUnreadable;
    CertStore loaded(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!loaded) return E_OUTOFMEMORY;
    if (AddPemCertificates(loaded.get(), bytes) == 0 && !AddEncoded(loaded.get(), bytes.data(), bytes.size()))
        return kCaFileEmpty;
    *store = std::move(loaded);
    return S_OK;
}

HRESULT VerifyServerCertificate(PCCERT_CONTEXT server, HCERTSTORE ca, const std::string& serverName) {
    // Beyond the machine's stores, the chain may pass through what the
    // server sent and the CA file's certificates.
    CertStore more(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    if (!more) return E_OUTOFMEMORY;
    ::CertAddStoreToCollection(more.get(), server->hCertStore, 0, 0);
    if (ca != nullptr) ::CertAddStoreToCollection(more.get(), ca, 0, 0);

    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA request{};
    request.cbSize = sizeof request;
    request.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    request.RequestedUsage.Usage.cUsageIdentifier = 1;
    request.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, server, nullptr, more.get(), &request, 0, nullptr, &built))
        return kCertUnusable;
    const Chain chain(built);

    DWORD errors = chain->TrustStatus.dwErrorStatus;
    if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) return kCertUntrustedRoot;
    const bool endsAtCa = (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) && EndsAtOneOf(*chain, ca);
    if ((errors & CERT_TRUST_IS_UNTRUSTED_ROOT) && !endsAtCa) return kCertUntrustedRoot;
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return kCertExpired;
    if (endsAtCa) errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    if (errors != 0) return kCertUnusable;

    // An address is matched here, byte for byte against the certificate's
    // addresses; the policy checks a host name.
    const std::string address = AddressBytes(serverName);
    if (!address.empty() && !NamesAddress(server, address)) return kCertNameMismatch;
    std::wstring hostName = address.empty() ? Utf16Of(serverName) : std::wstring();
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = endsAtCa ? kIgnoreUnknownCa : 0;
    ssl.pwszServerName = hostName.empty() ? nullptr : &hostName[0];
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) return kCertUnusable;
    const HRESULT found = static_cast<HRESULT>(status.dwError);
    if (found == S_OK || found == kCertNameMismatch || found == kCertExpired || found == kCertUntrustedRoot)
        return found;
    return found == static_cast<HRESULT>(CERT_E_CHAINING) ? kCertUntrustedRoot : kCertUnusable;
}

}  // namespace qc::platform::detail
