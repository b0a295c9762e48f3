// Prints the protected form of its argument in hexadecimal, as `reg add ...
// /t REG_BINARY /d` takes it, so that an end-to-end test stores a password
// protected for the machine (its Wine prefix) as an administrator would.
#include "platform/protected_secret.h"

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: protect_secret TEXT\n");
        return 2;
    }
    std::vector<unsigned char> blob;
    const HRESULT hr = qc::platform::ProtectSecret(argv[1], &blob);
    if (FAILED(hr)) {
        std::fprintf(stderr, "protecting failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    for (const unsigned char byte : blob) std::printf("%02X", byte);
    std::printf("\n");
    return 0;
}
