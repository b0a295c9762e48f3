// CByRefOutBstr: lets a script variable stand for an [out] BSTR parameter in
// a call through IDispatch::Invoke.
//
// A script engine passes its variable as VT_BYREF|VT_VARIANT. The type
// information's Invoke wants VT_BYREF|VT_BSTR for a BSTR* parameter and
// refuses the variable with DISP_E_TYPEMISMATCH, so no script could read a
// value back. For one call, this object lends Invoke a copy of the argument
// list in which that one argument is a reference to a BSTR of its own; after
// the call it moves a BSTR the method wrote into the script's variable.
// Everything else about the call is left to the type information.
#pragma once

#include "platform/platform.h"

#include <oaidl.h>

class CByRefOutBstr {
public:
    // `argumentCount` and `position` (0 = first argument) describe the
    // method's [out] BSTR parameter. The object takes part only when the call
    // passes exactly that many positional arguments and that one is a
    // VT_BYREF|VT_VARIANT.
    CByRefOutBstr(DISPPARAMS* params, UINT argumentCount, UINT position);
    ~CByRefOutBstr();
    CByRefOutBstr(const CByRefOutBstr&) = delete;
    CByRefOutBstr& operator=(const CByRefOutBstr&) = delete;

    // The argument list to hand to Invoke: the caller's own, or the lent copy.
    DISPPARAMS* Params() { return m_active ? &m_params : m_callerParams; }

    // DISP_E_TYPEMISMATCH, with *argumentError set, when the variable's
    // reference is null (nothing could be written through it); else S_OK.
    HRESULT Check(UINT* argumentError) const;

    // Takes Invoke's result. After a successful call in which the method
    // wrote its BSTR, the variable's old content is cleared and it holds that
    // BSTR (VT_BSTR); otherwise the variable is left as it was. Returns the
    // call's result, or the failure to clear the variable.
    HRESULT Complete(HRESULT invokeResult);

private:
    static constexpr UINT kMaxArguments = 5;

    DISPPARAMS* m_callerParams;
    bool m_active = false;
    bool m_nullReference = false;
    UINT m_index = 0;           // in rgvarg, which lists the arguments last to first
    VARIANT* m_variable = nullptr;  // the script's variable
    BSTR m_value = nullptr;     // what the method writes; owned until moved out
    VARIANTARG m_arguments[kMaxArguments];
    DISPPARAMS m_params{};
};
