// The module base: server locks, the global interface table, termination hooks.
#include "com/atl_module.h"

#include "support/static_init_failure.h"

#include <new>

CAtlModule::CAtlModule() : _ATL_MODULE70{} {
    g_atlModule = this;
    if (FAILED(staticDataLock.Init())) {
        g_initializationFailed = true;
        return;
    }
    recordSize = sizeof(_ATL_MODULE70);
}

CAtlModule::~CAtlModule() {
    Term();
    if (g_atlModule == this) g_atlModule = nullptr;
}

LONG CAtlModule::AddServerLock() { return qc::platform::AtomicIncrement(&lockCount); }

LONG CAtlModule::ReleaseServerLock() { return qc::platform::AtomicDecrement(&lockCount); }

LONG CAtlModule::ServerLockCount() { return lockCount; }

HRESULT CAtlModule::GetGlobalInterfaceTable(IGlobalInterfaceTable** table) {
    if (table == nullptr) return E_POINTER;
    *table = nullptr;
    HRESULT hr = S_OK;
    {
        CScopedLock<CComCriticalSection> lock(staticDataLock);
        if (!m_globalInterfaceTable) {
            hr = ::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IGlobalInterfaceTable, m_globalInterfaceTable.ReceiveVoid());
        }
        if (m_globalInterfaceTable) {
            *table = m_globalInterfaceTable.Get();
            (*table)->AddRef();
        }
    }
    return hr;
}

HRESULT CAtlModule::AddTerminationHook(TerminationFunction function, DWORD_PTR argument) {
    TerminationNode* node = new (std::nothrow) TerminationNode{function, argument, nullptr};
    if (node == nullptr) return E_OUTOFMEMORY;
    CScopedLock<CComCriticalSection> lock(staticDataLock);
    node->next = terminationList;
    terminationList = node;
    return S_OK;
}

void CAtlModule::Term() {
    if (recordSize == 0) return;
    while (terminationList != nullptr) {
        TerminationNode* node = terminationList;
        terminationList = node->next;
        node->function(node->argument);
        delete node;
    }
    m_globalInterfaceTable.Reset();
    staticDataLock.Term();
    recordSize = 0;
}

HRESULT AddModuleTerminationHook(TerminationFunction function, DWORD_PTR argument) {
    if (g_atlModule == nullptr) return E_INVALIDARG;
    return g_atlModule->AddTerminationHook(function, argument);
}
