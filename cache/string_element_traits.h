// CStringElementTraits: how cache keys hash and compare.
//
// The hash runs over the bytes up to the terminator, each taken as a signed
// byte: hash * 33 + byte, modulo 2^32 ("abc" gives 108966; the empty key 0).
// Equality is the runtime's multibyte comparison, so keys are
// case-sensitive; the key table compares the stored hashes first.
#pragma once

#include "platform/platform.h"

template <class KeyType>
struct CStringElementTraits {
    static ULONG Hash(const KeyType& key) noexcept {
        ULONG hash = 0;
        for (const char* p = key.GetString(); *p != '\0'; ++p)
            hash = hash * 33 + static_cast<ULONG>(static_cast<LONG>(static_cast<signed char>(*p)));
        return hash;
    }

    static bool CompareElements(const KeyType& a, const KeyType& b) noexcept {
        return qc::platform::CompareMultiByte(a.GetString(), b.GetString()) == 0;
    }
};
