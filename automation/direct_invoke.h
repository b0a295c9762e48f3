// InvokeDirectly: IDispatch::Invoke for ICOMCache's nine methods without the
// type information, when there is nothing to coerce.
//
// The type information's Invoke copies every argument into the parameter's
// type before it calls the method, one by one, which costs a scripted Add or
// Get more than the method itself. When each argument already has its
// parameter's type (VT_BSTR for a BSTR, VT_I4 for a long, either of them
// also in a script's variable passed as VT_BYREF|VT_VARIANT, VT_BYREF|VT_BSTR
// with a target for an [out] BSTR, any by-value VARIANT for a VARIANT), the
// call is made here straight through the interface table, and answered as
// the type information would answer it: a failed method becomes
// DISP_E_EXCEPTION with its code (and any error information of the thread)
// in the EXCEPINFO, a successful one S_OK, and pVarResult is left alone, as
// none of these methods has a return value.
//
// Anything else (other DISPIDs or flags, named arguments, another count,
// any other argument type) is left to the type information.
#pragma once

#include "platform/platform.h"

#include "QuorCache.h"

// True when the call was made, with Invoke's answer in *answer; false, having
// touched nothing, when the type information must answer it.
bool InvokeDirectly(ICOMCache* object, DISPID dispid, WORD flags, const DISPPARAMS* params,
                    EXCEPINFO* exception, HRESULT* answer);
