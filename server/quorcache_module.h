// CQuorCacheModule: the server's module object, and the process-wide state
// beside it (the instance handle recorded at process attach).
#pragma once

#include "platform/platform.h"
#include "com/atl_module.h"

class CQuorCacheModule : public CAtlDllModuleT<CQuorCacheModule> {
public:
    static GUID LibraryId();

    // Makes "%APPID%" stand for the server's AppID (braced registry form) in
    // the registry scripts the registrar applies.
    HRESULT AddCommonSubstitutions(qc::registrar::IRegistrarBase* registrar) override;
};

extern CQuorCacheModule g_quorCacheModule;

// The DLL's instance handle as process attach reported it (null before).
extern HINSTANCE g_moduleInstance;
