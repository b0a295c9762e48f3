#include "farm/farm_registry_values.h"

#include "support/cache_name_less.h"
#include "support/utf8.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <string_view>
#include <utility>

namespace qc::farm {
namespace {

using registry_type::kBinary;
using registry_type::kDword;
using registry_type::kExpandSz;
using registry_type::kMultiSz;
using registry_type::kSz;

const char* NameOf(FarmValue which) { return kFarmValueNames[static_cast<std::size_t>(which)]; }

// A type as the registry editor names it.
std::string TypeName(DWORD type) {
    // In the order of their numbers.
    static const char* const kNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
                                         "REG_QWORD"};
    return type < std::size(kNames) ? kNames[type] : std::to_string(type);
}

bool IsText(DWORD type) { return type == kSz || type == kExpandSz; }
bool IsList(DWORD type) { return IsText(type) || type == kMultiSz; }

// A text value's strings as UTF-8: a REG_SZ's one, up to its first NUL (a
// stored string may lack its terminator), or each of a REG_MULTI_SZ's, the
// empty ones left out. The aligned copy of the text is wiped (it may be a
// password's).
std::vector<std::string> Strings(const RegistryValue& value) {
    const std::size_t units = value.bytes.size() / sizeof(WCHAR);
    Utf16String text(units, WCHAR{0});
    const struct Wiped {
        Utf16String& text;
        ~Wiped() { platform::WipeSecret(text.data(), text.size() * sizeof(WCHAR)); }
    } wiped{text};
    if (units != 0) std::memcpy(&text[0], value.bytes.data(), units * sizeof(WCHAR));
    std::vector<std::string> strings;
    for (std::size_t start = 0; start < units;) {
        const std::size_t end = std::min(text.find(WCHAR{0}, start), units);
        if (end > start) {
            strings.emplace_back();
            if (FAILED(Utf16ToUtf8(text.data() + start, end - start, &strings.back()))) throw std::bad_alloc();
        }
        if (value.type != kMultiSz) break;
        start = end + 1;
    }
    return strings;
}

// An HRESULT as the log shows it.
std::string HexOf(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
    return text;
}

// The Server as a log line quotes it: a user or password before an '@' left out.
std::string QuotedServer(std::string_view server) {
    const std::size_t at = server.rfind('@');
    if (at == std::string_view::npos) return Quoted(server);
    const std::size_t scheme = server.find("://");
    const std::size_t shownFrom = scheme != std::string_view::npos && scheme < at ? scheme + 3 : 0;
    return Quoted(std::string(server.substr(0, shownFrom)) + "..." + std::string(server.substr(at)));
}

// Reads the values one by one, noting what the log should say and whether
// every present value can be used.
class Interpretation {
public:
    Interpretation(const FarmRegistryValues& values, std::vector<std::string>* notes, UnprotectStep unprotect)
        : m_values(values), m_notes(*notes), m_unprotect(unprotect) {}

    bool Usable() const { return m_usable; }
    void Note(std::string line) { m_notes.push_back(std::move(line)); }
    void Refuse(std::string line) {
        Note(std::move(line));
        m_usable = false;
    }
    void RefuseType(FarmValue which, const char* wanted) {
        Refuse(std::string(NameOf(which)) + " has the type " + TypeName(m_values[which].type) + "; it must be " +
               wanted);
    }

    // A REG_SZ's text; empty when absent or refused.
    std::string Text(FarmValue which) {
        const RegistryValue& value = m_values[which];
        if (!value.present) return {};
        if (!IsText(value.type)) {
            RefuseType(which, "REG_SZ");
            return {};
        }
        std::vector<std::string> strings = Strings(value);
        return strings.empty() ? std::string() : std::move(strings.front());
    }

    // A password: a REG_SZ's text, or a REG_BINARY opened by the unprotect
    // step; empty when absent or refused. Its line never quotes it.
    SecretText Secret(FarmValue which) {
        const RegistryValue& value = m_values[which];
        if (!value.present) return {};
        std::string text;
        if (value.type == kBinary) {
            const HRESULT opened = m_unprotect(value.bytes, &text);
            if (FAILED(opened)) {
                Refuse(std::string(NameOf(which)) + " is a REG_BINARY that cannot be unprotected on this machine (" +
                       HexOf(opened) + "): store it again, protected here, or as a REG_SZ");
                return {};
            }
        } else if (IsText(value.type)) {
            std::vector<std::string> strings = Strings(value);
            if (!strings.empty()) text.swap(strings.front());  // no copy left behind
        } else {
            RefuseType(which, "REG_SZ or REG_BINARY");
            return {};
        }
        const SecretText secret(text);
        platform::WipeSecret(&text);
        return secret;
    }

    // The names of the values that only the 32-bit view holds, which a
    // 32-bit reg.exe writes there unless told /reg:64.
    void Note32BitView() {
        std::vector<std::string> names;
        for (std::size_t index = 0; index < kFarmValueCount; ++index) {
            if (m_values.in32BitView[index] && !m_values.values[index].present) names.push_back(kFarmValueNames[index]);
        }
        if (names.empty()) return;
        Note("the 32-bit registry view holds " + Listed(names) +
             "; settings there are not used: they belong in HKLM\\SOFTWARE\\QuorCache\\Farm of the 64-bit "
             "view (reg add ... /reg:64)");
    }

    // Values that do nothing `without` another, which an administrator who
    // set them should hear.
    void NoteUnused(std::initializer_list<FarmValue> values, const char* without) {
        std::vector<std::string> names;
        for (const FarmValue which : values) {
            if (m_values[which].present) names.push_back(NameOf(which));
        }
        if (!names.empty()) Note(std::string("without ") + without + " these are not used: " + Listed(names));
    }

    // A list's entries, trimmed, the empty ones left out. A REG_SZ is split
    // at commas and semicolons; so are the entries of a REG_MULTI_SZ when
    // `splitMulti`, else an entry holding one is noted.
    std::vector<std::string> List(FarmValue which, bool splitMulti) {
        const RegistryValue& value = m_values[which];
        std::vector<std::string> names;
        if (value.present && !IsList(value.type)) {
            RefuseType(which, "REG_MULTI_SZ or REG_SZ");
            return names;
        }
        for (const std::string& entry : value.present ? Strings(value) : std::vector<std::string>()) {
            std::string_view rest = entry;
            const bool split = splitMulti || value.type != kMultiSz;
            if (!split && rest.find_first_of(",;") != std::string_view::npos)
                Note(std::string(NameOf(which)) + " " + Quoted(entry) +
                     " is one name: the entries of a REG_MULTI_SZ are not split");
            for (;;) {
                const std::size_t separator = split ? rest.find_first_of(",;") : std::string_view::npos;
                const std::string_view name = Trimmed(rest.substr(0, separator));
                if (!name.empty()) names.emplace_back(name);
                if (separator == std::string_view::npos) break;
                rest.remove_prefix(separator + 1);
            }
        }
        return names;
    }

    // Caches, noted when it leaves nothing on the farm of `serverValue`.
    std::vector<std::string> Caches(const char* serverValue) {
        const RegistryValue& value = m_values[FarmValue::Caches];
        std::vector<std::string> names = List(FarmValue::Caches, false);
        if (names.empty() && (!value.present || IsList(value.type)))
            Note(std::string(serverValue) + " is set but Caches is missing or empty: no cache is kept on the farm");
        return names;
    }

    // The sentinels, their MasterName and SentinelPassword; Server is not used.
    void Sentinels(const std::vector<std::string>& entries, bool hasServer, FarmSettings* read) {
        if (hasServer) Note("Server is not used: the primary is the one the Sentinels name");
        for (const std::string& entry : entries) {
            redis::RespAddress sentinel;
            const char* why = nullptr;
            if (FAILED(ParseSentinel(entry, &sentinel, &why)))
                Refuse("Sentinels " + Quoted(entry) + ": " + why);
            read->sentinels.push_back(std::move(sentinel));
        }
        read->masterName = Text(FarmValue::MasterName);
        if (read->masterName.empty())
            Refuse("Sentinels is set but MasterName is missing: the sentinels cannot be asked for the primary");
        read->sentinelPassword = Secret(FarmValue::SentinelPassword);
    }

    // A cluster's nodes, after the Server's when it is set (`hasServer`);
    // the first is the host and port.
    void ClusterNodes(const std::vector<std::string>& entries, bool hasServer, FarmSettings* read) {
        if (entries.empty()) return;
        if (hasServer) read->servers.push_back({read->host, read->port});
        for (const std::string& entry : entries) {
            redis::RespAddress node;
            const char* why = nullptr;
            if (FAILED(ParseClusterNode(entry, &node, &why))) Refuse("Servers " + Quoted(entry) + ": " + why);
            read->servers.push_back(std::move(node));
        }
        read->host = read->servers.front().host;
        read->port = read->servers.front().port;
    }

    // A REG_DWORD, or a REG_SZ of digits (none: 0), up to cap + 1 (what is
    // above is read as that); *shown is the number as the log shows it.
    // False, with a line saying it must be `meant`, when it is neither.
    bool Number(FarmValue which, const char* meant, unsigned long long cap, unsigned long long* number,
                std::string* shown) {
        const RegistryValue& value = m_values[which];
        *number = 0;
        if (value.type == kDword) {
            if (value.bytes.size() != sizeof(DWORD)) {
                Refuse(std::string(NameOf(which)) + " is a REG_DWORD of " + std::to_string(value.bytes.size()) +
                       " bytes");
                return false;
            }
            for (std::size_t index = sizeof(DWORD); index-- > 0;) *number = *number << 8 | value.bytes[index];
            *shown = std::to_string(*number);
        } else if (IsText(value.type)) {
            const std::vector<std::string> strings = Strings(value);
            const std::string_view text = Trimmed(strings.empty() ? std::string_view() : strings.front());
            if (text.find_first_not_of("0123456789") != std::string_view::npos) {
                Refuse(std::string(NameOf(which)) + " " + Quoted(strings.front()) + ": it must be " + meant);
                return false;
            }
            // Past the cap, the digits need not be added up.
            for (const char digit : text) {
                if (*number <= cap) *number = *number * 10 + (digit - '0');
            }
            *shown = text;
        } else {
            RefuseType(which, "REG_DWORD or REG_SZ");
            return false;
        }
        if (*number > cap) *number = cap + 1;
        return true;
    }

    // A number (`unit` says of what, for the log); `byDefault` when absent,
    // 0 or refused, and held to `most`.
    DWORD Bounded(FarmValue which, DWORD byDefault, DWORD most, const char* unit) {
        if (!m_values[which].present) return byDefault;
        unsigned long long number = 0;
        std::string shown;
        if (!Number(which, ("a number of " + std::string(unit)).c_str(), most, &number, &shown) || number == 0)
            return byDefault;
        if (number <= most) return static_cast<DWORD>(number);
        Note(std::string(NameOf(which)) + " " + shown + " is held to " + std::to_string(most));
        return most;
    }

    // The database, over the one the Server URL names (`fromServer`, when it
    // names one); that one when absent or refused.
    DWORD Database(DWORD fromServer, bool serverNamesOne) {
        if (!m_values[FarmValue::Database].present) return fromServer;
        unsigned long long database = 0;
        std::string shown;
        if (!Number(FarmValue::Database, "a database number", FarmSettings::kMaxDatabase, &database, &shown)) return fromServer;
        if (database > FarmSettings::kMaxDatabase) {
            Refuse("Database " + shown + " is over " + std::to_string(FarmSettings::kMaxDatabase));
        } else if (serverNamesOne && database != fromServer) {
            Refuse("Database " + shown + " and the database the Server URL names (" + std::to_string(fromServer) +
                   ") differ");
        }
        return static_cast<DWORD>(database);
    }

    // A switch, 0 or 1: false when absent or refused, with *on unchanged.
    bool Switch(FarmValue which, bool* on) {
        if (!m_values[which].present) return false;
        unsigned long long number = 0;
        std::string shown;
        if (!Number(which, "0 or 1", 1, &number, &shown)) return false;
        if (number > 1) {
            Refuse(std::string(NameOf(which)) + " " + shown + ": it must be 0 or 1");
            return false;
        }
        *on = number == 1;
        return true;
    }

    // TLS when Tls is 1 or the Server URL says rediss:// (`fromServer`).
    bool Tls(bool fromServer) {
        bool on = fromServer;
        if (!Switch(FarmValue::Tls, &on)) return fromServer;
        // Which one the administrator meant is not for the client to guess.
        if (!on && fromServer) Refuse("Tls 0 and the Server URL's rediss:// differ");
        return on || fromServer;
    }

    // None unless the text names Local; other text is a mistake to note,
    // not a reason to refuse the farm: None is what a farm did before.
    FarmSettings::Fallback Fallback() {
        const std::string text = Text(FarmValue::Fallback);
        const std::string_view named = Trimmed(text);
        if (CacheNameLess::Compare(named, "Local") == 0) return FarmSettings::Fallback::Local;
        if (!m_values[FarmValue::Fallback].present || named.empty() || CacheNameLess::Compare(named, "None") == 0)
            return FarmSettings::Fallback::None;
        Note("Fallback " + Quoted(text) + ": it must be None or Local; None is used");
        return FarmSettings::Fallback::None;
    }

private:
    const FarmRegistryValues& m_values;
    std::vector<std::string>& m_notes;
    const UnprotectStep m_unprotect;
    bool m_usable = true;
};

}  // namespace

HRESULT InterpretFarmValues(const FarmRegistryValues& values, FarmSettings* settings,
                            std::vector<std::string>* notes, UnprotectStep unprotect) {
    Interpretation in(values, notes, unprotect);
    in.Note32BitView();
    FarmSettings read;
    const std::string server = in.Text(FarmValue::Server);
    const std::vector<std::string> sentinels = in.List(FarmValue::Sentinels, true);
    const std::vector<std::string> nodes = in.List(FarmValue::Servers, true);
    // No server: no farm, whatever else is set.
    if (server.empty() && sentinels.empty() && nodes.empty() && in.Usable()) {
        in.NoteUnused({FarmValue::Caches, FarmValue::Password, FarmValue::User, FarmValue::Prefix,
                       FarmValue::TimeoutMs, FarmValue::MasterName, FarmValue::SentinelPassword, FarmValue::Tls,
                       FarmValue::CaCertificate, FarmValue::TlsServerName, FarmValue::NearCache,
                       FarmValue::NearCacheEntries},
                      "a Server, Servers or Sentinels value");
        *settings = read;
        return S_OK;
    }
    const char* why = nullptr;
    bool serverNamesDatabase = false;
    if (!sentinels.empty()) {
        if (!nodes.empty())
            in.Refuse("Sentinels and Servers are both set: the farm is either the primary the sentinels name or a "
                      "Redis cluster; keep one of them");
        in.Sentinels(sentinels, !server.empty(), &read);
    } else {
        if (!server.empty() && FAILED(ParseServer(server, &read, &why, &serverNamesDatabase)))
            in.Refuse("Server " + QuotedServer(server) + ": " + why);
        in.ClusterNodes(nodes, !server.empty(), &read);
        if (!values[FarmValue::Sentinels].present)
            in.NoteUnused({FarmValue::MasterName, FarmValue::SentinelPassword}, "Sentinels");
    }
    read.caches = in.Caches(!sentinels.empty() ? "Sentinels" : server.empty() ? "Servers" : "Server");
    read.password = in.Secret(FarmValue::Password);
    read.user = Trimmed(in.Text(FarmValue::User));
    // (A Password refused has a line of its own.)
    const RegistryValue& password = values[FarmValue::Password];
    if (!read.user.empty() && read.password.empty() && (!password.present || IsText(password.type)))
        in.Refuse("User is set but Password is missing or empty: an ACL user cannot authenticate without one");
    const std::string prefix = in.Text(FarmValue::Prefix);
    if (!FarmSettings::IsValidPrefix(prefix)) {
        in.Refuse("Prefix " + Quoted(prefix) + ": it may hold no brace");
    } else if (!prefix.empty()) {
        read.prefix = prefix;
    }
    read.timeoutMs = in.Bounded(FarmValue::TimeoutMs, FarmSettings::kDefaultTimeoutMs, FarmSettings::kMaxTimeoutMs,
                               "milliseconds");
    read.database = in.Database(read.database, serverNamesDatabase);
    if (!read.servers.empty() && read.database != 0)
        in.Refuse("Database " + std::to_string(read.database) +
                  " cannot be used with Servers: a Redis cluster has only database 0");
    read.fallback = in.Fallback();
    read.maxConnections = in.Bounded(FarmValue::MaxConnections, FarmSettings::kDefaultMaxConnections,
                                    FarmSettings::kMostConnections, "connections");
    read.tls = in.Tls(read.tls);
    const std::string caCertificate = in.Text(FarmValue::CaCertificate);
    const std::string tlsServerName = in.Text(FarmValue::TlsServerName);
    if (read.tls) {
        read.caCertificate = caCertificate;
        read.tlsServerName = Trimmed(tlsServerName);
    } else {
        in.NoteUnused({FarmValue::CaCertificate, FarmValue::TlsServerName}, "Tls");
    }
    in.Switch(FarmValue::NearCache, &read.nearCache);
    read.nearCacheEntries = in.Bounded(FarmValue::NearCacheEntries, FarmSettings::kDefaultNearCacheEntries,
                                       FarmSettings::kMostNearCacheEntries, "entries");
    if (!read.nearCache) in.NoteUnused({FarmValue::NearCacheEntries}, "NearCache 1");
    if (!in.Usable()) return E_INVALIDARG;
    *settings = std::move(read);
    return S_OK;
}

}  // namespace qc::farm
