/*
 * The RPC runtime's IUnknown proxy routines, which the generated proxy file
 * puts in the first three slots of the ICOMCache proxy. The platform headers
 * declare them only for C++ and the proxy file is C, so the build includes
 * this file ahead of it.
 */
#pragma once

#include <rpcproxy.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
