// The farm's registry values as read (each one's type and bytes), and what
// they come to: the settings, and the lines the log carries about them. The
// registry itself is read in farm_registry_settings.cpp (Windows only); the
// rules are here, so that every one of them is tested natively.
//
// Read as meant, where that is safe:
//   Caches     a REG_SZ is a list separated by commas or semicolons; the
//              entries of a REG_MULTI_SZ are names as they stand (a name may
//              hold a comma), noted when they do; names are trimmed of the
//              spaces and tabs around them, and empty ones left out
//   Server     "redis://host:port" reads as host:port (farm_settings.h)
//   Sentinels  like Caches, but the entries of a REG_MULTI_SZ are split too
//              (no host holds a comma); Server, when set too, is not used
//              (noted)
//   Servers    a Redis cluster's nodes, host[:port], read as Sentinels;
//              with a Server, that is the first node
// Sentinels and Servers together, or Servers with a Database other than 0
// (a cluster has only database 0), are refused: which farm was meant is not
// for the client to guess.
//   TimeoutMs  a REG_SZ of decimal digits reads as the number; 0 or none is
//              the default, and more than 30000 is held to 30000 (noted)
//   Database   a REG_SZ of decimal digits reads as the number, as TimeoutMs;
//              a Server URL may name the database too ("redis://h:6379/2"):
//              where both do, they must agree
//   Fallback   "None" or "Local", letter case and spaces around ignored;
//              other text is None (noted)
//   MaxConnections  the same, with the default 32 and at most 1024
//   Tls        a REG_DWORD 0 or 1, or such a REG_SZ; a Server URL
//              "rediss://" turns it on too, and a Tls of 0 beside one is
//              refused; CaCertificate and TlsServerName without it are noted
//   Password, SentinelPassword  a REG_SZ, or a REG_BINARY: the password
//              protected for this machine (platform/protected_secret.h),
//              which the reader's unprotect step opens; one that does not
//              open is refused, with a line naming the value and the failure
//   NearCache  a REG_DWORD 0 or 1, or such a REG_SZ: near copies of farm
//              entries (farm_cache.h)
//   NearCacheEntries  a number as MaxConnections, default 10000, at most
//              1000000; noted when NearCache is not 1
//   User       an ACL user's name, trimmed, sent with Password (not to the
//              sentinels, which take SentinelPassword alone); without a
//              Password it is refused, as the user could not authenticate
// Loud where it is not: a value present but of the wrong type, or that
// cannot be read, makes the settings unusable, with a line naming the value
// and why (a password is never quoted), and so do Sentinels without a
// MasterName; a Server, Servers or Sentinels without Caches, other values
// without any of them, MasterName or SentinelPassword without Sentinels, and
// values left in the 32-bit registry view each get a line of their own.
#pragma once

#include "farm/farm_settings.h"
#include "platform/platform.h"
#include "platform/protected_secret.h"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace qc::farm {

// The values under the settings key, in this order.
enum class FarmValue {
    Server, Caches, Password, Prefix, TimeoutMs, Database, Fallback, MaxConnections, Sentinels, MasterName,
    SentinelPassword, Tls, CaCertificate, TlsServerName, User, NearCache, NearCacheEntries, Servers
};
inline constexpr std::size_t kFarmValueCount = 18;
inline constexpr const char* kFarmValueNames[kFarmValueCount] = {
    "Server",         "Caches",    "Password",   "Prefix",           "TimeoutMs", "Database",      "Fallback",
    "MaxConnections", "Sentinels", "MasterName", "SentinelPassword", "Tls",       "CaCertificate", "TlsServerName",
    "User",           "NearCache", "NearCacheEntries", "Servers"};

// The registry's type numbers that matter here (the same on every system).
namespace registry_type {
inline constexpr DWORD kSz = 1;
inline constexpr DWORD kExpandSz = 2;
inline constexpr DWORD kBinary = 3;
inline constexpr DWORD kDword = 4;
inline constexpr DWORD kMultiSz = 7;
}  // namespace registry_type

// One value as the registry gave it.
struct RegistryValue {
    bool present = false;
    DWORD type = 0;
    std::vector<unsigned char> bytes;  // a text's are UTF-16, a number's little-endian
};

struct FarmRegistryValues {
    FarmRegistryValues() = default;
    FarmRegistryValues(const FarmRegistryValues&) = default;
    FarmRegistryValues& operator=(const FarmRegistryValues&) = default;
    // The passwords' bytes are wiped: a REG_SZ's are the password itself.
    ~FarmRegistryValues() {
        for (const FarmValue secret : {FarmValue::Password, FarmValue::SentinelPassword}) {
            std::vector<unsigned char>& bytes = (*this)[secret].bytes;
            platform::WipeSecret(bytes.data(), bytes.size());
        }
    }

    // As read from the view that counts: the 64-bit one where there are two.
    std::array<RegistryValue, kFarmValueCount> values;
    // Which values the 32-bit view holds (only where there are two views).
    std::array<bool, kFarmValueCount> in32BitView{};

    RegistryValue& operator[](FarmValue which) { return values[static_cast<std::size_t>(which)]; }
    const RegistryValue& operator[](FarmValue which) const { return values[static_cast<std::size_t>(which)]; }
};

// Opens a protected password (platform::UnprotectSecret, or a test's own).
using UnprotectStep = HRESULT (*)(const std::vector<unsigned char>& blob, std::string* secret);

// S_OK with the settings (an empty host when there is no Server: no farm),
// or E_INVALIDARG, with *settings unchanged, when a value is present but
// cannot be used: a farm half set up must not quietly become one the other
// servers do not share. Either way *notes gets a line (without the log's
// "QuorCache farm: ") for every problem found and every value read other
// than as written. A REG_BINARY password is opened by `unprotect`. May throw
// std::bad_alloc.
HRESULT InterpretFarmValues(const FarmRegistryValues& values, FarmSettings* settings,
                            std::vector<std::string>* notes, UnprotectStep unprotect = platform::UnprotectSecret);

}  // namespace qc::farm
