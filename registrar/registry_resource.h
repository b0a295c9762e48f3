// Applying a registry script that a module carries as a resource (Windows only).
#pragma once

#include "platform/platform.h"
#include "registrar/reg_object.h"
#include "registrar/registry_access.h"

namespace qc::registrar {

// Loads the module at `modulePath` as a data file, reads the resource
// `resourceId` of type `resourceType` as NUL-terminated text and applies it
// with `registrar`'s substitutions. A module or resource that cannot be
// loaded gives the HRESULT of the platform's error (E_FAIL if it reports
// none); a text that cannot be converted or copied, E_OUTOFMEMORY.
HRESULT ApplyRegistryResource(const CRegObject& registrar, IRegistryAccess& registry, const WCHAR* modulePath,
                              UINT resourceId, const WCHAR* resourceType, bool doRegister);

}  // namespace qc::registrar
