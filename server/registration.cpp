// DllRegisterServer and DllUnregisterServer: the AppID script, the class
// table's registration functions, the type library, then the proxy/stub.
//
// Module-level steps run under the system default thread locale, so that the
// registry scripts and the module path are read in the system's ANSI code
// page whatever locale the calling tool has chosen; the caller's locale is
// given back before the proxy/stub step and before every return.
#include "server/registration.h"

#include "quorcache_ids.h"
#include "registrar/apply_script_resource.h"
#include "resources/resource_ids.h"
#include "server/proxy_stub_registration.h"
#include "server/quorcache_module.h"
#include "server/type_library_registration.h"

namespace {

// The thread runs under LOCALE_SYSTEM_DEFAULT for the life of the scope.
class CSystemLocaleScope {
public:
    CSystemLocaleScope() : m_saved(::GetThreadLocale()) { ::SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~CSystemLocaleScope() { ::SetThreadLocale(m_saved); }
    CSystemLocaleScope(const CSystemLocaleScope&) = delete;
    CSystemLocaleScope& operator=(const CSystemLocaleScope&) = delete;

private:
    const LCID m_saved;
};

// The module object's common substitutions ("APPID"), as the registrar asks for them.
class CModuleSubstitutions : public qc::registrar::ICommonSubstitutions {
public:
    HRESULT AddCommonSubstitutions(qc::registrar::IRegistrarBase* registrar) override {
        return g_quorCacheModule.AddCommonSubstitutions(registrar);
    }
};

HRESULT ApplyModuleScript(UINT resourceId, bool doRegister, const qc::registrar::ScriptSubstitution* substitutions) {
    CModuleSubstitutions common;
    return qc::registrar::ApplyScriptResource(g_moduleInstance, common, substitutions, resourceId, doRegister);
}

HRESULT ApplyAppIdScript(bool doRegister) {
    const qc::registrar::ScriptSubstitution substitutions[] = {{L"APPID", qc::ids::kAppIdText}, {nullptr, nullptr}};
    return ApplyModuleScript(QC_IDR_APPID_SCRIPT, doRegister, substitutions);
}

// Calls the registration function of every class in the class table. None
// of the classes declares component categories, so there are none to write
// or remove.
HRESULT UpdateClassTableRegistry(bool doRegister) {
    for (ClassEntry** slot = g_comModule.classTableBegin; slot != g_comModule.classTableEnd; ++slot) {
        const ClassEntry* entry = *slot;
        if (entry == nullptr || entry->updateRegistry == nullptr) continue;
        const HRESULT hr = entry->updateRegistry(doRegister ? TRUE : FALSE);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RegisterModule() {
    HRESULT hr = ApplyAppIdScript(true);
    if (FAILED(hr)) return hr;
    hr = UpdateClassTableRegistry(true);
    if (FAILED(hr)) return hr;
    return RegisterModuleTypeLibrary(g_moduleInstance);
}

// The reverse order of RegisterModule. A type library that is not registered
// stops here: the class entries are gone by then, the AppID entries stay.
HRESULT UnregisterModule() {
    HRESULT hr = UpdateClassTableRegistry(false);
    if (FAILED(hr)) return hr;
    hr = UnregisterModuleTypeLibrary(g_moduleInstance);
    if (FAILED(hr)) return hr;
    return ApplyAppIdScript(false);
}

}  // namespace

HRESULT WINAPI UpdateComCacheRegistry(BOOL doRegister) {
    return ApplyModuleScript(QC_IDR_CLASS_SCRIPT, doRegister != FALSE, nullptr);
}

// The proxy/stub goes last: the type library's registration also writes the
// interface entries, and the proxy/stub's must be the final ones so that the
// interfaces are marshalled by this DLL's own proxy/stub.
STDAPI DllRegisterServer() {
    HRESULT hr;
    {
        CSystemLocaleScope locale;
        hr = RegisterModule();
    }
    if (FAILED(hr)) return hr;
    return RegisterProxyStub(g_moduleInstance);
}

// Removing the type library also removed the interface entries, and the
// runtime's removal of the proxy/stub fails on entries that are missing: they
// are written once more so that it finds all of them.
STDAPI DllUnregisterServer() {
    HRESULT hr;
    {
        CSystemLocaleScope locale;
        hr = UnregisterModule();
    }
    if (FAILED(hr)) return hr;
    hr = RegisterProxyStub(g_moduleInstance);
    if (FAILED(hr)) return hr;
    return UnregisterProxyStub(g_moduleInstance);
}
