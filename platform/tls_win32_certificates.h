// The server's certificate on the Windows side of the TLS seam, checked by
// hand: SChannel is told to leave the check to its caller (manual
// validation), so that the CA file can be trusted beside the machine's roots
// and every refusal carries the code tls.h names for it. Owners for the
// crypto handles used on the way.
#pragma once

#include "platform/platform.h"

#include <wincrypt.h>

#include <memory>
#include <string>

namespace qc::platform::detail {

struct CertStoreClose {
    void operator()(HCERTSTORE store) const { ::CertCloseStore(store, 0); }
};
using CertStore = std::unique_ptr<void, CertStoreClose>;

struct CertificateFree {
    void operator()(PCCERT_CONTEXT certificate) const { ::CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// The certificates of a PEM file (one or more) or of a DER file (one), in a
// memory store; the path is UTF-8. kCaFileUnreadable or kCaFileEmpty.
HRESULT LoadCaFile(const std::string& path, CertStore* store);

// Whether the server's certificate, with those it sent beside it, leads to a
// root of the machine's or to a certificate of `ca` (null: none), is valid
// now, and names serverName: a host name, or an address that one of its
// addresses must equal. S_OK, or the kCert* code of tls.h that says why not.
HRESULT VerifyServerCertificate(PCCERT_CONTEXT server, HCERTSTORE ca, const std::string& serverName);

// The address that a numeric name stands for (4 or 16 bytes); empty for a
// host name.
std::string AddressBytes(const std::string& name);

}  // namespace qc::platform::detail
