// The entry points of the proxy/stub of ICOMCache, ICOMCache2 and
// ICacheStatistics, generated from the interface definition (the proxy file
// list in dlldata.c, compiled with the entry prefix "ProxyStub"). They wrap
// the RPC runtime's NdrDllGetClassObject and NdrDllCanUnloadNow with the
// proxy file list, the proxy/stub class id (the first interface of the list,
// which widl orders by identifier: IID_ICOMCache, see
// cmake/QuorCacheIds.cmake) and the proxy/stub factory's state.
#pragma once

#include "platform/platform.h"

extern "C" {
HRESULT STDAPICALLTYPE ProxyStubDllGetClassObject(REFCLSID clsid, REFIID iid, void** result);
HRESULT STDAPICALLTYPE ProxyStubDllCanUnloadNow();
}
