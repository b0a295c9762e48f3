// A secret at rest in the registry, protected for this machine: the system's
// data protection (DPAPI) in machine scope, with QuorCache's own entropy, so
// that any account of this machine (a web server's included) can read it
// back and no other machine can. Where there is no such protection (native
// builds), both calls fail with kSecretProtectionUnsupported.
//
// A secret in memory is wiped when it is no longer needed: WipeSecret
// overwrites it in a way the compiler keeps.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qc::platform {

inline constexpr HRESULT kSecretProtectionUnsupported = static_cast<HRESULT>(0x80004001);  // E_NOTIMPL

// The protected form of `secret`.
HRESULT ProtectSecret(std::string_view secret, std::vector<unsigned char>* blob);

// `blob` unprotected into *secret; the system's HRESULT when it was not made
// by ProtectSecret on this machine (say, copied from another), or is damaged.
HRESULT UnprotectSecret(const std::vector<unsigned char>& blob, std::string* secret);

// Overwrites the text's bytes, then empties it.
void WipeSecret(std::string* secret);

// Overwrites `size` bytes at `bytes` (a secret's copy in another form).
void WipeSecret(void* bytes, std::size_t size);

}  // namespace qc::platform
