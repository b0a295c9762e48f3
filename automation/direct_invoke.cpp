// ICOMCache's methods called straight from an argument list that needs no
// coercion.
#include "automation/direct_invoke.h"

#include <oleauto.h>

namespace {

// What a parameter takes, which decides the argument types accepted as they are.
enum class Param : unsigned char { Bstr, Long, OutBstr, Variant };

struct Signature {
    UINT count;
    Param params[5];
};

// The parameters of DISPIDs 1-9, in the methods' order.
const Signature* SignatureOf(DISPID dispid) {
    static const Signature signatures[] = {
        {3, {Param::Bstr, Param::Bstr, Param::Bstr}},                             // Add
        {3, {Param::Bstr, Param::OutBstr, Param::Bstr}},                          // Get
        {2, {Param::Bstr, Param::Bstr}},                                          // Free
        {1, {Param::Bstr}},                                                       // DestroyCache
        {3, {Param::Bstr, Param::Long, Param::Long}},                             // CreateCache
        {0, {}},                                                                  // Terminate
        {0, {}},                                                                  // Initialize
        {5, {Param::Bstr, Param::Bstr, Param::Bstr, Param::Bstr, Param::OutBstr}},  // GetMessageFromExchange
        {1, {Param::Variant}},                                                    // SetHiddemMessageParameters
    };
    static_assert(DISPID_COMCACHE_ADD == 1 && DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS == 9);
    if (dispid < DISPID_COMCACHE_ADD || dispid > DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS) return nullptr;
    return &signatures[dispid - DISPID_COMCACHE_ADD];
}

// A script passes its variables by reference: what one refers to.
const VARIANT& Resolved(const VARIANTARG& argument) {
    if (V_VT(&argument) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&argument) != nullptr) {
        return *V_VARIANTREF(&argument);
    }
    return argument;
}

bool Fits(Param param, const VARIANTARG& argument) {
    switch (param) {
    case Param::Bstr: return V_VT(&Resolved(argument)) == VT_BSTR;
    case Param::Long: return V_VT(&Resolved(argument)) == VT_I4;
    case Param::OutBstr: return V_VT(&argument) == (VT_BYREF | VT_BSTR) && V_BSTRREF(&argument) != nullptr;
    case Param::Variant: return (V_VT(&argument) & VT_BYREF) == 0;
    }
    return false;
}

// The arguments of a call that fits, in the methods' order (Invoke lists
// them last to first).
class Arguments {
public:
    explicit Arguments(const DISPPARAMS& params) : m_params(params) {}
    const VARIANTARG& operator[](UINT position) const {
        return m_params.rgvarg[m_params.cArgs - 1 - position];
    }
    BSTR Bstr(UINT position) const { return V_BSTR(&Resolved((*this)[position])); }
    LONG Long(UINT position) const { return V_I4(&Resolved((*this)[position])); }
    BSTR* OutBstr(UINT position) const { return V_BSTRREF(&(*this)[position]); }

private:
    const DISPPARAMS& m_params;
};

HRESULT Call(ICOMCache* object, DISPID dispid, const Arguments& args) {
    switch (dispid) {
    case DISPID_COMCACHE_ADD: return object->Add(args.Bstr(0), args.Bstr(1), args.Bstr(2));
    case DISPID_COMCACHE_GET: return object->Get(args.Bstr(0), args.OutBstr(1), args.Bstr(2));
    case DISPID_COMCACHE_FREE: return object->Free(args.Bstr(0), args.Bstr(1));
    case DISPID_COMCACHE_DESTROYCACHE: return object->DestroyCache(args.Bstr(0));
    case DISPID_COMCACHE_CREATECACHE: return object->CreateCache(args.Bstr(0), args.Long(1), args.Long(2));
    case DISPID_COMCACHE_TERMINATE: return object->Terminate();
    case DISPID_COMCACHE_INITIALIZE: return object->Initialize();
    case DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE:
        return object->GetMessageFromExchange(args.Bstr(0), args.Bstr(1), args.Bstr(2), args.Bstr(3),
                                              args.OutBstr(4));
    default: return object->SetHiddemMessageParameters(args[0]);
    }
}

// A failed method as the type information reports it.
HRESULT Exception(HRESULT failure, EXCEPINFO* exception) {
    if (exception != nullptr) {
        exception->scode = failure;
        IErrorInfo* error = nullptr;
        if (::GetErrorInfo(0, &error) == S_OK && error != nullptr) {
            error->GetDescription(&exception->bstrDescription);
            error->GetHelpFile(&exception->bstrHelpFile);
            error->GetSource(&exception->bstrSource);
            error->GetHelpContext(&exception->dwHelpContext);
            error->Release();
        }
    }
    return DISP_E_EXCEPTION;
}

}  // namespace

bool InvokeDirectly(ICOMCache* object, DISPID dispid, WORD flags, const DISPPARAMS* params,
                    EXCEPINFO* exception, HRESULT* answer) {
    const Signature* signature = SignatureOf(dispid);
    if (signature == nullptr || params == nullptr) return false;
    if ((flags & DISPATCH_METHOD) == 0 || (flags & ~(DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0) return false;
    if (params->cNamedArgs != 0 || params->cArgs != signature->count) return false;
    if (signature->count != 0 && params->rgvarg == nullptr) return false;
    const Arguments args(*params);
    for (UINT position = 0; position < signature->count; ++position) {
        if (!Fits(signature->params[position], args[position])) return false;
    }
    const HRESULT hr = Call(object, dispid, args);
    *answer = FAILED(hr) ? Exception(hr, exception) : S_OK;
    return true;
}
