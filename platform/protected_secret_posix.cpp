#include "platform/protected_secret.h"

#include <string.h>

namespace qc::platform {

HRESULT ProtectSecret(std::string_view, std::vector<unsigned char>*) { return kSecretProtectionUnsupported; }

HRESULT UnprotectSecret(const std::vector<unsigned char>&, std::string*) { return kSecretProtectionUnsupported; }

void WipeSecret(std::string* secret) {
    if (!secret->empty()) explicit_bzero(&(*secret)[0], secret->size());
    secret->clear();
}

}  // namespace qc::platform
