// The module object's chain: the plain module record, the module base with
// the server-lock count and the termination list, and the two templates the
// server's own module (server/quorcache_module.h) derives from.
//
//   CQuorCacheModule -> CAtlDllModuleT<> -> CAtlModuleT<> -> CAtlModule -> _ATL_MODULE70
//
// Exactly one module object exists per process, a static of the DLL.
// g_atlModule points at it from the moment its construction starts, for the
// wrappers (server locks) and the type-information holder (static-data lock,
// termination hooks).
#pragma once

#include "platform/platform.h"
#include "registrar/registrar_base.h"
#include "com/module_records.h"
#include "support/com_critical_section.h"
#include "support/com_ref.h"

#include <objidl.h>

using TerminationFunction = void(WINAPI*)(DWORD_PTR argument);

// One registered termination hook; the list is singly linked, newest first.
struct TerminationNode {
    TerminationFunction function;
    DWORD_PTR argument;
    TerminationNode* next;
};

struct _ATL_MODULE70 {
    // sizeof(_ATL_MODULE70) once construction has succeeded; 0 before that,
    // when the static-data lock could not be prepared, and after termination.
    UINT recordSize;
    volatile LONG lockCount;  // outstanding server locks, changed only by interlocked calls
    TerminationNode* terminationList;
    // Guards the one-time type-information load and the termination list.
    // Re-entrant: the type-information load adds a termination hook while
    // holding it.
    CComCriticalSection staticDataLock;
};

class CAtlModule : public _ATL_MODULE70 {
public:
    CAtlModule();
    virtual ~CAtlModule();
    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;

    // Each returns the new count.
    virtual LONG AddServerLock();
    virtual LONG ReleaseServerLock();
    virtual LONG ServerLockCount();
    // The process's standard global interface table, created on first use
    // and kept; handed out with one reference added.
    virtual HRESULT GetGlobalInterfaceTable(IGlobalInterfaceTable** table);
    // Adds the substitutions every registry script of the module may use.
    virtual HRESULT AddCommonSubstitutions(qc::registrar::IRegistrarBase* registrar) = 0;

    // E_OUTOFMEMORY when the node cannot be allocated. Hooks run when the
    // module terminates, newest first.
    HRESULT AddTerminationHook(TerminationFunction function, DWORD_PTR argument);

    CComCriticalSection& StaticDataLock() { return staticDataLock; }

    // Runs the termination hooks, releases the global interface table and
    // deletes the static-data lock. Nothing happens when the record size is 0.
    void Term();

    GUID m_libid{};

protected:
    qc::ComRef<IGlobalInterfaceTable> m_globalInterfaceTable;
};

// The module object of this process (null before its construction starts).
inline CAtlModule* g_atlModule = nullptr;

// AddTerminationHook on the module of this process; E_INVALIDARG when there
// is none.
HRESULT AddModuleTerminationHook(TerminationFunction function, DWORD_PTR argument);

template <class T>
class CAtlModuleT : public CAtlModule {
public:
    CAtlModuleT() { m_libid = T::LibraryId(); }
};

// What a module adds when it lives in a DLL: the class objects of the class
// table and the class table's start/stop hooks. (The unload answer also asks
// the cache manager: server/unload_answer.h.)
template <class T>
class CAtlDllModuleT : public CAtlModuleT<T> {
public:
    CAtlDllModuleT() { g_comModule.ExecuteObjectMain(true); }
    ~CAtlDllModuleT() override { g_comModule.ExecuteObjectMain(false); }

    HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) {
        return g_comModule.GetClassObject(clsid, iid, result);
    }
};
