// The recursive deletion of a key's subtree.
#include "registrar/registry_key.h"

namespace qc::registrar {

LONG DeleteKeyTree(IRegistryAccess& registry, RegistryKey parent, const char* name) {
    CRegistryKey key(registry);
    LONG result = registry.OpenKey(parent, name, KeyAccess::ReadWrite, key.Receive());
    if (result != ERROR_SUCCESS) return result;
    // Always take the first subkey: each one is gone before the next look. A
    // subkey that cannot be deleted ends the loop instead of being found again
    // forever.
    for (;;) {
        char subKey[256];
        DWORD length = sizeof(subKey);
        result = registry.EnumKey(key.Get(), 0, subKey, &length);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS) result = DeleteKeyTree(registry, key.Get(), subKey);
        if (result != ERROR_SUCCESS) return result;
    }
    key.Close();
    return registry.DeleteKey(parent, name);
}

}  // namespace qc::registrar
