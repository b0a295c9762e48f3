// Variant: owns one VARIANT, cleared on every path out of a scope.
#pragma once

#include "platform/platform.h"

#include <oleauto.h>

namespace qc {

class Variant {
public:
    Variant() { ::VariantInit(&m_value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(&m_value); }

    VARIANT* operator&() { return &m_value; }
    VARIANT& Get() { return m_value; }
    // Hands the value on to `out`, which holds nothing to free (a caller's
    // [out] VARIANT), and keeps an empty one.
    void Detach(VARIANT* out) {
        *out = m_value;
        ::VariantInit(&m_value);
    }

private:
    VARIANT m_value;
};

}  // namespace qc
