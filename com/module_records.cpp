// The base-module and COM-module records: construction, the class table
// lookup and termination.
#include "com/module_records.h"

#include "support/static_init_failure.h"

// The image base of the module this code is linked into: the DLL's own
// instance handle, known before process attach reports it.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

HINSTANCE ThisModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

// The cached class object of an entry, read outside the class-table lock:
// a full-barrier read pairs with the publishing exchange below.
IUnknown* ReadClassObject(ClassEntry& entry) {
    return static_cast<IUnknown*>(::InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&entry.classObject), nullptr, nullptr));
}

}  // namespace

CBaseModuleRecord::CBaseModuleRecord() : moduleInstance(ThisModule()), resourceInstance(ThisModule()) {
    if (FAILED(m_lock.Init())) {
        g_initializationFailed = true;
        return;
    }
    recordSize = sizeof(*this);
}

CBaseModuleRecord::~CBaseModuleRecord() {
    if (recordSize == 0) return;
    m_lock.Term();
    recordSize = 0;
}

CComModuleRecord::CComModuleRecord(ClassEntry** first, ClassEntry** last)
    : typeLibraryInstance(ThisModule()), classTableBegin(first), classTableEnd(last) {
    if (FAILED(m_classTableLock.Init())) {
        g_initializationFailed = true;
        return;
    }
    recordSize = sizeof(*this);
}

CComModuleRecord::~CComModuleRecord() { Term(); }

HRESULT CComModuleRecord::GetClassObject(REFCLSID clsid, REFIID iid, void** result) {
    if (recordSize == 0) return E_UNEXPECTED;
    if (result == nullptr) return E_POINTER;
    *result = nullptr;

    for (ClassEntry** slot = classTableBegin; slot != classTableEnd; ++slot) {
        ClassEntry* entry = *slot;
        if (entry == nullptr || entry->createClassObject == nullptr ||
            !::IsEqualCLSID(clsid, *entry->clsid)) {
            continue;
        }
        HRESULT hr = S_OK;
        IUnknown* classObject = ReadClassObject(*entry);
        if (classObject == nullptr) {
            // Concurrent first requests meet here; the first one creates.
            CScopedLock<CComCriticalSection> lock(m_classTableLock);
            classObject = entry->classObject;
            if (classObject == nullptr) {
                hr = entry->createClassObject(reinterpret_cast<void*>(entry->createInstance),
                                              IID_IUnknown, reinterpret_cast<void**>(&classObject));
                // Published only once complete and holding its reference.
                if (hr == S_OK) {
                    ::InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&entry->classObject),
                                                 classObject);
                }
            }
        }
        if (classObject != nullptr) hr = classObject->QueryInterface(iid, result);
        if (*result == nullptr && hr == S_OK) hr = CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

void CComModuleRecord::ExecuteObjectMain(bool starting) {
    for (ClassEntry** slot = classTableBegin; slot != classTableEnd; ++slot) {
        if (*slot != nullptr && (*slot)->objectMain != nullptr) (*slot)->objectMain(starting);
    }
}

void CComModuleRecord::Term() {
    if (recordSize == 0) return;
    for (ClassEntry** slot = classTableBegin; slot != classTableEnd; ++slot) {
        ClassEntry* entry = *slot;
        if (entry == nullptr || entry->classObject == nullptr) continue;
        entry->classObject->Release();
        entry->classObject = nullptr;
    }
    m_classTableLock.Term();
    recordSize = 0;
}
