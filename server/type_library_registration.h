// Registration of the type library a module carries: loaded from the
// module's own "TYPELIB" resource 1, or from a ".tlb" file of the same base
// name beside it, and written to or removed from the registry by the
// platform's type-library registration.
#pragma once

#include "platform/platform.h"
#include "support/bstr.h"
#include "support/com_ref.h"

#include <oleauto.h>

// Loads the type library of `module`. On success *library holds one
// reference and *path the path it was loaded from. Failures: the path of `module` cannot be read (the last error,
// or ERROR_INSUFFICIENT_BUFFER for a path that fills MAX_PATH); neither the
// module nor the ".tlb" beside it holds a type library (LoadTypeLib's
// result; E_FAIL when the ".tlb" path would not fit); E_OUTOFMEMORY.
HRESULT LoadModuleTypeLibrary(HINSTANCE module, qc::Bstr* path, qc::ComRef<ITypeLib>* library);

// Registers the type library of `module`, with the module's folder as its
// help directory.
HRESULT RegisterModuleTypeLibrary(HINSTANCE module);

// Removes the registration of the type library of `module`, by the
// identifier, version, locale and system kind the library itself declares.
HRESULT UnregisterModuleTypeLibrary(HINSTANCE module);
