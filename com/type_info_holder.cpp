// The shared type information and its name cache.
#include "com/type_info_holder.h"

#include "com/atl_module.h"
#include "support/com_critical_section.h"
#include "support/com_ref.h"

#include <oleauto.h>

#include <cwchar>
#include <new>

HRESULT CComTypeInfoHolder::GetTypeInfo(LCID lcid, ITypeInfo** typeInfo) {
    if (typeInfo == nullptr) return E_POINTER;
    const HRESULT hr = EnsureTypeInfo(lcid);
    *typeInfo = m_typeInfo.load(std::memory_order_acquire);
    if (*typeInfo == nullptr) return hr;
    (*typeInfo)->AddRef();
    return S_OK;
}

HRESULT CComTypeInfoHolder::GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* dispids) {
    const HRESULT hr = EnsureTypeInfo(lcid);
    ITypeInfo* typeInfo = m_typeInfo.load(std::memory_order_acquire);
    if (typeInfo == nullptr) return hr;
    if (count == 1 && names != nullptr && names[0] != nullptr && dispids != nullptr &&
        FindName(names[0], dispids)) {
        return S_OK;
    }
    // Several names, or another spelling: the type information's own lookup
    // (which ignores letter case) answers.
    return typeInfo->GetIDsOfNames(names, count, dispids);
}

bool CComTypeInfoHolder::Available(LCID lcid) {
    EnsureTypeInfo(lcid);
    return m_typeInfo.load(std::memory_order_acquire) != nullptr;
}

HRESULT CComTypeInfoHolder::Invoke(IDispatch* object, DISPID dispid, LCID lcid,
                                   WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argumentError) {
    const HRESULT hr = EnsureTypeInfo(lcid);
    ITypeInfo* typeInfo = m_typeInfo.load(std::memory_order_acquire);
    if (typeInfo == nullptr) return hr;
    return typeInfo->Invoke(object, dispid, flags, params, result, exception, argumentError);
}

HRESULT CComTypeInfoHolder::EnsureTypeInfo(LCID lcid) {
    if (m_typeInfo.load(std::memory_order_acquire) != nullptr &&
        m_names.load(std::memory_order_acquire) != nullptr) {
        return S_OK;
    }
    CScopedLock<CComCriticalSection> lock(g_atlModule->StaticDataLock());
    HRESULT hr = S_OK;
    if (m_typeInfo.load(std::memory_order_relaxed) == nullptr) hr = LoadTypeInfo(lcid);
    ITypeInfo* typeInfo = m_typeInfo.load(std::memory_order_relaxed);
    if (typeInfo != nullptr && m_names.load(std::memory_order_relaxed) == nullptr) {
        hr = BuildNameCache(typeInfo);
    }
    return hr;
}

HRESULT CComTypeInfoHolder::LoadTypeInfo(LCID lcid) {
    qc::ComRef<ITypeLib> library;
    HRESULT hr = ::LoadRegTypeLib(*m_libid, m_major, m_minor, lcid, library.Receive());
    if (FAILED(hr)) return hr;

    qc::ComRef<ITypeInfo> typeInfo;
    hr = library->GetTypeInfoOfGuid(*m_iid, typeInfo.Receive());
    if (FAILED(hr)) return hr;
    qc::ComRef<ITypeInfo2> typeInfo2;
    if (SUCCEEDED(typeInfo->QueryInterface(IID_ITypeInfo2, typeInfo2.ReceiveVoid())))
        typeInfo = qc::ComRef<ITypeInfo>(typeInfo2.Detach());
    // Kept only with its release at unload arranged; otherwise dropped, and
    // the next call loads again. (The hook re-enters the static-data lock,
    // which is re-entrant.)
    hr = AddModuleTerminationHook(&CComTypeInfoHolder::Cleanup, reinterpret_cast<DWORD_PTR>(this));
    if (SUCCEEDED(hr)) m_typeInfo.store(typeInfo.Detach(), std::memory_order_release);
    return hr;
}

HRESULT CComTypeInfoHolder::BuildNameCache(ITypeInfo* typeInfo) {
    TYPEATTR* attributes = nullptr;
    if (FAILED(typeInfo->GetTypeAttr(&attributes))) return S_OK;  // no cache; lookups go to the type information
    const int count = attributes->cFuncs;
    if (count > 0) {
        NameEntry* names = new (std::nothrow) NameEntry[count];
        if (names == nullptr) {
            typeInfo->ReleaseTypeAttr(attributes);
            return E_OUTOFMEMORY;
        }
        for (int index = 0; index < count; ++index) {
            FUNCDESC* function = nullptr;
            if (FAILED(typeInfo->GetFuncDesc(index, &function))) continue;
            NameEntry& entry = names[index];
            if (SUCCEEDED(typeInfo->GetDocumentation(function->memid, entry.name.Receive(), nullptr, nullptr,
                                                     nullptr))) {
                entry.length = ::SysStringLen(entry.name.Get());
                entry.dispid = function->memid;
            }
            typeInfo->ReleaseFuncDesc(function);
        }
        m_nameCount = count;
        m_names.store(names, std::memory_order_release);
    }
    typeInfo->ReleaseTypeAttr(attributes);
    return S_OK;
}

bool CComTypeInfoHolder::FindName(const OLECHAR* name, DISPID* dispid) const {
    const NameEntry* names = m_names.load(std::memory_order_acquire);
    if (names == nullptr) return false;
    const size_t length = std::wcslen(name);
    // From the last entry to the first; exact spelling only. An entry whose
    // name could not be read never matches (not even the empty name).
    for (int index = m_nameCount - 1; index >= 0; --index) {
        const NameEntry& entry = names[index];
        if (entry.name.Get() != nullptr && entry.length == length &&
            std::wmemcmp(entry.name.Get(), name, length) == 0) {
            *dispid = entry.dispid;
            return true;
        }
    }
    return false;
}

void WINAPI CComTypeInfoHolder::Cleanup(DWORD_PTR holder) {
    CComTypeInfoHolder* self = reinterpret_cast<CComTypeInfoHolder*>(holder);
    const qc::ComRef<ITypeInfo> released(self->m_typeInfo.exchange(nullptr));
    delete[] self->m_names.exchange(nullptr);  // each name goes with its entry
    self->m_nameCount = 0;
}
