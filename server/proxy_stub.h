// The entry points of the ICOMCache proxy/stub, generated from the interface
// definition (the proxy file list in dlldata.c, compiled with the entry
// prefix "ProxyStub"). They wrap the RPC runtime's NdrDllGetClassObject and
// NdrDllCanUnloadNow with the proxy file list, the proxy/stub class id
// (IID_ICOMCache, the first interface of the list) and the proxy/stub
// factory's state.
#pragma once

#include "platform/platform.h"

extern "C" {
HRESULT STDAPICALLTYPE ProxyStubDllGetClassObject(REFCLSID clsid, REFIID iid, void** result);
HRESULT STDAPICALLTYPE ProxyStubDllCanUnloadNow();
}
