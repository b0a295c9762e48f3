// Self-registration of QuorCache.dll: the registration function of the
// COMCache class-table entry. The exports DllRegisterServer and
// DllUnregisterServer (server/registration.cpp) apply the AppID script, call
// every class's registration function, register the type library and then
// the proxy/stub.
#pragma once

#include "platform/platform.h"

// Applies (or removes) the COMCache class entries: the class script with no
// substitutions beyond the module's common ones.
HRESULT WINAPI UpdateComCacheRegistry(BOOL doRegister);
