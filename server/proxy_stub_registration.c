/* Registration of the interfaces' proxy/stub with the RPC runtime. */
#include "server/proxy_stub_registration.h"

#include <objbase.h>
#include <rpcproxy.h>

#include "QuorCache.h"

/* The proxy file list of the generated dlldata.c. */
extern const ProxyFileInfo* aProxyFileList[];

HRESULT RegisterProxyStub(HINSTANCE module) {
    return NdrDllRegisterProxy(module, aProxyFileList, &IID_ICOMCache);
}

HRESULT UnregisterProxyStub(HINSTANCE module) {
    return NdrDllUnregisterProxy(module, aProxyFileList, &IID_ICOMCache);
}
