// The server's static records, in their construction order, and its module
// object.
//
// The order matters because the records are destroyed in reverse: the module
// object goes first (start/stop hooks with false, then the termination hooks,
// which release the shared type information), then the COM-module record
// releases the cached class objects. The cache manager's holder and the
// diagnostic log's statics, defined in their own files, depend on none of
// these.
#include "server/quorcache_module.h"

#include "automation/com_cache.h"
#include "quorcache_ids.h"
#include "server/registration.h"

#include <iterator>

namespace {

ClassEntry g_comCacheEntry = {
    &CLSID_COMCache,
    &UpdateComCacheRegistry,
    &CCOMCache::CreateClassObject,
    &CCOMCache::CreateInstance,
    nullptr,
    0,
    &CCOMCache::GetObjectDescription,
    &CCOMCache::GetCategories,
    &CCOMCache::ObjectMain,
};

ClassEntry* g_classTable[] = {&g_comCacheEntry};

}  // namespace

HINSTANCE g_moduleInstance = nullptr;

CBaseModuleRecord g_baseModule;
CComModuleRecord g_comModule(std::begin(g_classTable), std::end(g_classTable));
CQuorCacheModule g_quorCacheModule;

GUID CQuorCacheModule::LibraryId() { return LIBID_QuorCacheLib; }

HRESULT CQuorCacheModule::AddCommonSubstitutions(qc::registrar::IRegistrarBase* registrar) {
    return registrar->AddSubstitution(L"APPID", qc::ids::kAppIdText);
}
