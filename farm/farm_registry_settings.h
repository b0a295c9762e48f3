// The farm's settings as an administrator sets them for the machine, under
// HKEY_LOCAL_MACHINE\SOFTWARE\QuorCache\Farm, in the registry's 64-bit view
// so that the x86 and the x64 DLL read one setting (Windows only):
//
//   Server     REG_SZ        host:port of the server, port 6379 by default;
//                            no key or no value: no farm
//   Caches     REG_MULTI_SZ  the caches kept on the farm, or "*" for all
//                            (a REG_SZ is read as a list of one)
//   Password   REG_SZ        optional, sent with AUTH
//   Prefix     REG_SZ        optional, of every key; "quorcache:" by default
//   TimeoutMs  REG_DWORD     optional, for connecting and for each command;
//                            1000 by default, and when 0
//
// Texts are read as UTF-16 and kept as UTF-8.
#pragma once

#include "farm/farm_settings.h"

namespace qc::farm {

// S_OK with the settings (an empty host when there is no farm). A value that
// is present but cannot be used (a Server that is not host:port, a Prefix
// with a brace, a value of the wrong type) fails with E_INVALIDARG: a farm
// half set up must not quietly become one the other servers do not share.
HRESULT ReadFarmSettingsFromRegistry(FarmSettings* settings);

// Where the settings live (for the tests and the README's sake).
inline constexpr const wchar_t* kFarmSettingsKey = L"SOFTWARE\\QuorCache\\Farm";

}  // namespace qc::farm
