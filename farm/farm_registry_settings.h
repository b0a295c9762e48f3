// The farm's settings as an administrator sets them for the machine, under
// HKEY_LOCAL_MACHINE\SOFTWARE\QuorCache\Farm, in the registry's 64-bit view
// so that the x86 and the x64 DLL read one setting (Windows only):
//
//   Server     REG_SZ        host:port of the server (or redis://host:port),
//                            port 6379 by default; no key or no value: no farm
//   Caches     REG_MULTI_SZ  the caches kept on the farm, or "*" for all
//                            (a REG_SZ is a list separated by , or ;)
//   Password   REG_SZ        optional, sent with AUTH; or REG_BINARY, the
//                            password protected for this machine
//   User       REG_SZ        optional, an ACL user's name, sent with Password
//   Prefix     REG_SZ        optional, of every key; "quorcache:" by default
//   TimeoutMs  REG_DWORD     optional, for connecting and for each command;
//                            1000 by default and when 0, at most 30000 (a
//                            REG_SZ of digits is read too)
//   Database   REG_DWORD     optional, the server's database; 0 by default
//   MaxConnections REG_DWORD optional, the most connections to the server
//                            at once; 32 by default and when 0, at most 1024
//   Sentinels  REG_MULTI_SZ  host:port of each sentinel (port 26379 by
//                            default); when set, the server is the primary
//                            they name, and Server is not used
//   MasterName REG_SZ        the name the sentinels watch; needed with them
//   SentinelPassword REG_SZ  optional, sent with AUTH to the sentinels (or
//                            REG_BINARY, protected as Password may be)
//
// Texts are read as UTF-16 and kept as UTF-8. How each value is read, and
// what the log is told: farm_registry_values.h.
#pragma once

#include "farm/farm_registry_values.h"
#include "farm/farm_settings.h"

#include <string>
#include <vector>

namespace qc::farm {

// S_OK with the settings (an empty host when there is no farm), or
// E_INVALIDARG when a value is present but cannot be used, or the registry's
// failure; *notes gets the lines the log should carry about the values,
// among them the values found only in the 32-bit view, where there is one.
// A protected password is opened by `unprotect` (platform::UnprotectSecret
// unless a test gives its own).
HRESULT ReadFarmSettingsFromRegistry(FarmSettings* settings, std::vector<std::string>* notes);
HRESULT ReadFarmSettingsFromRegistry(FarmSettings* settings, std::vector<std::string>* notes,
                                     UnprotectStep unprotect);

// Writes `bytes` as the REG_BINARY value `which` under the settings key of
// the 64-bit view, making the key when it is missing (the operator's tool
// stores a protected password so); the registry's failure, such as
// E_ACCESSDENIED for an account that is not an administrator's.
HRESULT WriteFarmBinaryValue(FarmValue which, const std::vector<unsigned char>& bytes);

// Where the settings live (for the tests and the README's sake).
inline constexpr const wchar_t* kFarmSettingsKey = L"SOFTWARE\\QuorCache\\Farm";

}  // namespace qc::farm
