// CComTypeInfoHolder: the type information of one dual interface, loaded
// from the registered type library on first use and shared by every object
// of the process, with a cache of its member names.
//
// IDispatch is answered entirely from it: GetTypeInfo hands it out,
// GetIDsOfNames asks the cache first, and Invoke lets the type information
// call the object through its vtable.
//
// Loading is double-checked under the module's static-data lock, so
// concurrent first calls load once. The load registers a termination hook
// with the module, which releases the type information and the cache when
// the DLL unloads. A failed load caches nothing: the next call tries again.
#pragma once

#include "platform/platform.h"
#include "support/bstr.h"

#include <oaidl.h>

#include <atomic>

class CComTypeInfoHolder {
public:
    constexpr CComTypeInfoHolder(const IID* iid, const GUID* libid, WORD major, WORD minor)
        : m_iid(iid), m_libid(libid), m_major(major), m_minor(minor) {}
    CComTypeInfoHolder(const CComTypeInfoHolder&) = delete;
    CComTypeInfoHolder& operator=(const CComTypeInfoHolder&) = delete;

    // IDispatch's three calls, less what they do not examine: there is one
    // type information to give (no index), and no interface to tell apart.
    HRESULT GetTypeInfo(LCID lcid, ITypeInfo** typeInfo);
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* dispids);
    // True when the type information is loaded, or loads now: a call that
    // bypasses it must fail as it would while it cannot be had.
    bool Available(LCID lcid);
    // `object` is the interface the type information describes.
    HRESULT Invoke(IDispatch* object, DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError);

private:
    struct NameEntry {
        qc::Bstr name;  // null when it could not be read
        ULONG length = 0;  // UTF-16 units
        DISPID dispid = DISPID_UNKNOWN;
    };

    // Loads the type information and builds the name cache unless both are
    // present. The result of the load; the type information may be present
    // even when building the cache failed.
    HRESULT EnsureTypeInfo(LCID lcid);
    // REQUIRES: the module's static-data lock held.
    HRESULT LoadTypeInfo(LCID lcid);
    HRESULT BuildNameCache(ITypeInfo* typeInfo);
    // The cache hit for one name, or false.
    bool FindName(const OLECHAR* name, DISPID* dispid) const;
    static void WINAPI Cleanup(DWORD_PTR holder);

    const IID* m_iid;
    const GUID* m_libid;
    WORD m_major;
    WORD m_minor;
    // Written under the static-data lock, read without it by the fast paths.
    std::atomic<ITypeInfo*> m_typeInfo{nullptr};
    std::atomic<NameEntry*> m_names{nullptr};
    int m_nameCount = 0;  // published together with m_names
};
