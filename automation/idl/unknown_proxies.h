/*
 * The RPC runtime's IUnknown proxy routines, which the generated proxy file
 * puts in the first three slots of the ICOMCache proxy. The platform headers
 * declare them only for C++ and the proxy file is C, so the build includes
 * this file ahead of it.
 *
 * Only <objbase.h> here: the proxy file must be the first to include
 * <rpcproxy.h>, after its own USE_STUBLESS_PROXY, or the proxy headers lose
 * their stubless-proxy field and every proxy and stub table is misread.
 */
#pragma once

#include <objbase.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
