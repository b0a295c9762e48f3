// Registration of the proxy/stub with the RPC runtime: the entries of every
// interface in the proxy file list (ICOMCache, ICOMCache2, ICacheStatistics)
// point at this DLL as the server of their proxy/stub class, whose
// identifier is IID_ICOMCache. (Plain C: the runtime's proxy
// header compiles only as C.)
#pragma once

#include <windows.h>  /* plain C: the platform seam is C++ */

#ifdef __cplusplus
extern "C" {
#endif

HRESULT RegisterProxyStub(HINSTANCE module);
HRESULT UnregisterProxyStub(HINSTANCE module);

#ifdef __cplusplus
}
#endif
