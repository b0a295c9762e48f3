// Windows side of the TLS seam. The system's TLS (SChannel, through SSPI)
// comes next; until then a TLS connection is refused with the code SSPI
// gives for a function it does not offer, never made in clear.
#include "platform/tls.h"

namespace qc::platform {

HRESULT TlsStream::Connect(SocketHandle, const TlsSettings&, DWORD, std::unique_ptr<TlsStream>*) {
    return kTlsUnsupported;
}

}  // namespace qc::platform
