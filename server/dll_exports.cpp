// The DLL's entry point and its COM exports.
#include "platform/platform.h"
#include "manager/cache_manager.h"
#include "server/proxy_stub.h"
#include "server/quorcache_module.h"
#include "server/unload_answer.h"
#include "support/static_init_failure.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_moduleInstance = instance;
        // A static record whose lock could not be prepared leaves the server
        // unable to work: refuse the load.
        return g_initializationFailed ? FALSE : TRUE;
    }
    return TRUE;
}

// The proxy/stub's class object first (its class id is IID_ICOMCache), then
// the class table.
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* result) {
    if (result == nullptr) return E_POINTER;
    const HRESULT hr = ProxyStubDllGetClassObject(clsid, iid, result);
    if (hr == S_OK) return hr;
    return g_quorCacheModule.DllGetClassObject(clsid, iid, result);
}

// S_OK only when no proxy or stub object and no server lock remain, and the
// cache worker thread is not running: that thread runs this DLL's code, and
// an unload would have to stop it while the loader lock keeps it from ending.
STDAPI DllCanUnloadNow() {
    const HRESULT hr = ProxyStubDllCanUnloadNow();
    if (hr != S_OK) return hr;
    return UnloadAnswer([] { return g_quorCacheModule.ServerLockCount(); }, &IsCacheManagerStarted);
}
