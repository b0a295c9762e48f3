// A script variable in place of an [out] BSTR argument, for one Invoke.
#include "automation/by_ref_out_bstr.h"

#include <oleauto.h>

CByRefOutBstr::CByRefOutBstr(DISPPARAMS* params, UINT argumentCount, UINT position)
    : m_callerParams(params) {
    if (params == nullptr || params->rgvarg == nullptr || params->cNamedArgs != 0 ||
        params->cArgs != argumentCount || argumentCount > kMaxArguments || position >= argumentCount) {
        return;
    }
    m_index = argumentCount - 1 - position;
    VARIANTARG& argument = params->rgvarg[m_index];
    if (V_VT(&argument) != (VT_BYREF | VT_VARIANT)) return;
    m_variable = V_VARIANTREF(&argument);
    if (m_variable == nullptr) {
        m_nullReference = true;
        return;
    }
    // A shallow copy: Invoke only reads the [in] arguments, and the copies
    // are never cleared.
    for (UINT index = 0; index < argumentCount; ++index) m_arguments[index] = params->rgvarg[index];
    V_VT(&m_arguments[m_index]) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&m_arguments[m_index]) = &m_value;
    m_params = *params;
    m_params.rgvarg = m_arguments;
    m_active = true;
}

CByRefOutBstr::~CByRefOutBstr() { ::SysFreeString(m_value); }

HRESULT CByRefOutBstr::Check(UINT* argumentError) const {
    if (!m_nullReference) return S_OK;
    if (argumentError != nullptr) *argumentError = m_index;
    return DISP_E_TYPEMISMATCH;
}

HRESULT CByRefOutBstr::Complete(HRESULT invokeResult) {
    // A method that did not succeed, or succeeded without an answer (an
    // unknown cache type, or a method that never writes its [out]), leaves
    // the variable alone, as it would leave a compiled caller's BSTR.
    if (!m_active || FAILED(invokeResult) || m_value == nullptr) return invokeResult;
    const HRESULT cleared = ::VariantClear(m_variable);
    if (FAILED(cleared)) return cleared;  // the BSTR is freed with this object
    V_VT(m_variable) = VT_BSTR;
    V_BSTR(m_variable) = m_value;
    m_value = nullptr;
    return invokeResult;
}
