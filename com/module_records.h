// The two module records built before the module object: the base-module
// record (the DLL's instance handles) and the COM-module record (the class
// table and its lock). Each sets g_initializationFailed when its lock cannot
// be prepared, and the DLL then refuses to load.
//
// The statics themselves are defined, in their construction order, in
// server/quorcache_module.cpp.
#pragma once

#include "platform/platform.h"
#include "com/class_entry.h"
#include "support/com_critical_section.h"

class CBaseModuleRecord {
public:
    CBaseModuleRecord();
    ~CBaseModuleRecord();
    CBaseModuleRecord(const CBaseModuleRecord&) = delete;
    CBaseModuleRecord& operator=(const CBaseModuleRecord&) = delete;

    UINT recordSize = 0;
    HINSTANCE moduleInstance = nullptr;
    HINSTANCE resourceInstance = nullptr;  // where string resources are looked up

private:
    CComCriticalSection m_lock;
};

class CComModuleRecord {
public:
    CComModuleRecord(ClassEntry** first, ClassEntry** last);
    ~CComModuleRecord();
    CComModuleRecord(const CComModuleRecord&) = delete;
    CComModuleRecord& operator=(const CComModuleRecord&) = delete;

    // The class table lookup: the cached class object of `clsid`, made on
    // first use (once, whatever the number of threads asking), queried for
    // `iid`.
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** result);

    // Calls every entry's start/stop hook.
    void ExecuteObjectMain(bool starting);

    // Releases the cached class objects and deletes the class-table lock.
    // Nothing happens when the record size is 0.
    void Term();

    UINT recordSize = 0;
    HINSTANCE typeLibraryInstance = nullptr;  // the module holding the type library
    ClassEntry** classTableBegin;
    ClassEntry** classTableEnd;

private:
    CComCriticalSection m_classTableLock;
};

extern CBaseModuleRecord g_baseModule;
extern CComModuleRecord g_comModule;
