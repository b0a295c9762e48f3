#include "platform/protected_secret.h"

#include <string.h>

namespace qc::platform {

HRESULT ProtectSecret(std::string_view, std::vector<unsigned char>*) { return kSecretProtectionUnsupported; }

HRESULT UnprotectSecret(const std::vector<unsigned char>&, std::string*) { return kSecretProtectionUnsupported; }

void WipeSecret(std::string* secret) {
    WipeSecret(secret->data(), secret->size());
    secret->clear();
}

void WipeSecret(void* bytes, std::size_t size) {
    if (size != 0) explicit_bzero(bytes, size);
}

}  // namespace qc::platform
