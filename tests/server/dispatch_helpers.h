// Calling a COMCache through IDispatch::Invoke the way a script engine does:
// positional arguments, listed to Invoke from the last to the first.
#pragma once

#include "platform/platform.h"
#include "support/bstr.h"
#include "support/com_ref.h"
#include "support/variant.h"

#include <oleauto.h>

#include <vector>

namespace qc::test {

// The outcome of one Invoke; the EXCEPINFO's strings are freed with it.
struct InvokeResult {
    HRESULT hr = E_FAIL;
    EXCEPINFO exception{};
    UINT argumentError = static_cast<UINT>(-1);

    InvokeResult() = default;
    InvokeResult(const InvokeResult&) = delete;
    InvokeResult& operator=(const InvokeResult&) = delete;
    ~InvokeResult() {
        ::SysFreeString(exception.bstrSource);
        ::SysFreeString(exception.bstrDescription);
        ::SysFreeString(exception.bstrHelpFile);
    }
};

// `arguments` in the method's order; the VARIANTs stay the caller's. A
// non-null `result` receives the return value (the caller clears it).
inline void Invoke(IDispatch* object, DISPID dispid, const std::vector<VARIANT>& arguments,
                   InvokeResult& outcome, VARIANT* result = nullptr, WORD flags = DISPATCH_METHOD) {
    std::vector<VARIANTARG> reversed(arguments.begin(), arguments.end());
    std::vector<VARIANTARG> list(reversed.rbegin(), reversed.rend());
    DISPPARAMS params{list.empty() ? nullptr : list.data(), nullptr, static_cast<UINT>(list.size()), 0};
    outcome.hr = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                &outcome.exception, &outcome.argumentError);
}

// VARIANT views that borrow what they point at (never cleared).
inline VARIANT BstrArg(BSTR text) {
    VARIANT value;
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = text;
    return value;
}
inline VARIANT LongArg(LONG number) {
    VARIANT value;
    V_VT(&value) = VT_I4;
    V_I4(&value) = number;
    return value;
}
// A script variable passed by reference.
inline VARIANT VariableArg(VARIANT* variable) {
    VARIANT value;
    V_VT(&value) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&value) = variable;
    return value;
}
// What a compiled client passes for an [out] BSTR.
inline VARIANT BstrRefArg(BSTR* slot) {
    VARIANT value;
    V_VT(&value) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&value) = slot;
    return value;
}

}  // namespace qc::test
