#include "platform/protected_secret.h"

#include <wincrypt.h>

#include <cstring>

namespace qc::platform {
namespace {

// Fixed, so that every build and the operator's tool read each other's blobs.
const char kEntropy[] = "QuorCache farm secret";

DATA_BLOB Entropy() {
    return DATA_BLOB{static_cast<DWORD>(sizeof kEntropy - 1),
                     reinterpret_cast<BYTE*>(const_cast<char*>(kEntropy))};
}

// Owns what CryptProtectData and CryptUnprotectData hand out.
class LocalBlob {
public:
    LocalBlob() = default;
    LocalBlob(const LocalBlob&) = delete;
    LocalBlob& operator=(const LocalBlob&) = delete;
    ~LocalBlob() {
        if (blob.pbData == nullptr) return;
        SecureZeroMemory(blob.pbData, blob.cbData);
        LocalFree(blob.pbData);
    }
    DATA_BLOB blob{0, nullptr};
};

HRESULT LastFailure() {
    const DWORD error = LastError();
    return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
}

}  // namespace

HRESULT ProtectSecret(std::string_view secret, std::vector<unsigned char>* blob) {
    DATA_BLOB in{static_cast<DWORD>(secret.size()), reinterpret_cast<BYTE*>(const_cast<char*>(secret.data()))};
    DATA_BLOB entropy = Entropy();
    LocalBlob out;
    if (!CryptProtectData(&in, L"QuorCache", &entropy, nullptr, nullptr,
                          CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &out.blob)) {
        return LastFailure();
    }
    blob->assign(out.blob.pbData, out.blob.pbData + out.blob.cbData);
    return S_OK;
}

HRESULT UnprotectSecret(const std::vector<unsigned char>& blob, std::string* secret) {
    DATA_BLOB in{static_cast<DWORD>(blob.size()), const_cast<BYTE*>(blob.data())};
    DATA_BLOB entropy = Entropy();
    LocalBlob out;
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out.blob)) {
        return LastFailure();
    }
    WipeSecret(secret);
    secret->assign(reinterpret_cast<const char*>(out.blob.pbData), out.blob.cbData);
    return S_OK;
}

void WipeSecret(std::string* secret) {
    WipeSecret(secret->data(), secret->size());
    secret->clear();
}

void WipeSecret(void* bytes, std::size_t size) {
    if (size != 0) SecureZeroMemory(bytes, size);
}

}  // namespace qc::platform
