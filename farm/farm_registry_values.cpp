#include "farm/farm_registry_values.h"

#include "support/utf8.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <string_view>
#include <utility>

namespace qc::farm {
namespace {

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
// empty ones left out.
std::vector<std::string> Strings(const RegistryValue& value) {
    const std::size_t units = value.bytes.size() / sizeof(WCHAR);
    Utf16String text(units, WCHAR{0});
    if (units != 0) std::memcpy(&text[0], value.bytes.data(), units * sizeof(WCHAR));
    std::vector<std::string> strings;
    for (std::size_t start = 0; start < units;) {
        const std::size_t end = std::min(text.find(WCHAR{0}, start), units);
        if (end > start) {
            std::string utf8;
            if (FAILED(Utf16ToUtf8(text.data() + start, end - start, &utf8))) throw std::bad_alloc();
            strings.push_back(std::move(utf8));
        }
        if (value.type != kMultiSz) break;
        start = end + 1;
    }
    return strings;
}

// An administrator's text as a log line quotes it: control characters as
// '?', and cut (at a character's start) after 64 bytes.
std::string Quoted(std::string_view text) {
    constexpr std::size_t kLongest = 64;
    std::size_t length = text.size();
    if (length > kLongest) {
        length = kLongest;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::string quoted = "'";
    for (const char c : text.substr(0, length)) quoted += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    quoted += length < text.size() ? "...'" : "'";
    return quoted;
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
    Interpretation(const FarmRegistryValues& values, std::vector<std::string>* notes)
        : m_values(values), m_notes(*notes) {}

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
        read->sentinelPassword = Text(FarmValue::SentinelPassword);
    }

    // Milliseconds; the default when absent, 0 or refused.
    DWORD Timeout() {
        const RegistryValue& value = m_values[FarmValue::TimeoutMs];
        if (!value.present) return FarmSettings::kDefaultTimeoutMs;
        std::string shown;  // the number as the log shows it
        unsigned long long milliseconds = 0;
        if (value.type == kDword) {
            if (value.bytes.size() != sizeof(DWORD)) {
                Refuse("TimeoutMs is a REG_DWORD of " + std::to_string(value.bytes.size()) + " bytes");
                return FarmSettings::kDefaultTimeoutMs;
            }
            for (std::size_t index = sizeof(DWORD); index-- > 0;) milliseconds = milliseconds << 8 | value.bytes[index];
            shown = std::to_string(milliseconds);
        } else if (IsText(value.type)) {
            const std::vector<std::string> strings = Strings(value);
            const std::string_view text = Trimmed(strings.empty() ? std::string_view() : strings.front());
            if (text.find_first_not_of("0123456789") != std::string_view::npos) {
                Refuse("TimeoutMs " + Quoted(strings.front()) + ": it must be a number of milliseconds");
                return FarmSettings::kDefaultTimeoutMs;
            }
            // Past the most that is kept, the digits need not be added up.
            for (const char digit : text) {
                if (milliseconds <= FarmSettings::kMaxTimeoutMs) milliseconds = milliseconds * 10 + (digit - '0');
            }
            shown = text;
        } else {
            RefuseType(FarmValue::TimeoutMs, "REG_DWORD or REG_SZ");
            return FarmSettings::kDefaultTimeoutMs;
        }
        if (milliseconds == 0) return FarmSettings::kDefaultTimeoutMs;
        if (milliseconds <= FarmSettings::kMaxTimeoutMs) return static_cast<DWORD>(milliseconds);
        Note("TimeoutMs " + shown + " is held to " + std::to_string(FarmSettings::kMaxTimeoutMs));
        return FarmSettings::kMaxTimeoutMs;
    }

private:
    const FarmRegistryValues& m_values;
    std::vector<std::string>& m_notes;
    bool m_usable = true;
};

}  // namespace

HRESULT InterpretFarmValues(const FarmRegistryValues& values, FarmSettings* settings,
                            std::vector<std::string>* notes) {
    Interpretation in(values, notes);
    in.Note32BitView();
    FarmSettings read;
    const std::string server = in.Text(FarmValue::Server);
    const std::vector<std::string> sentinels = in.List(FarmValue::Sentinels, true);
    if (server.empty() && sentinels.empty() && in.Usable()) {  // no server: no farm, whatever else is set
        in.NoteUnused({FarmValue::Caches, FarmValue::Password, FarmValue::Prefix, FarmValue::TimeoutMs,
                       FarmValue::MasterName, FarmValue::SentinelPassword},
                      "a Server or Sentinels value");
        *settings = read;
        return S_OK;
    }
    const char* why = nullptr;
    if (!sentinels.empty()) {
        in.Sentinels(sentinels, !server.empty(), &read);
    } else {
        if (!server.empty() && FAILED(ParseServer(server, &read, &why)))
            in.Refuse("Server " + QuotedServer(server) + ": " + why);
        if (!values[FarmValue::Sentinels].present)
            in.NoteUnused({FarmValue::MasterName, FarmValue::SentinelPassword}, "Sentinels");
    }
    read.caches = in.Caches(sentinels.empty() ? "Server" : "Sentinels");
    read.password = in.Text(FarmValue::Password);
    const std::string prefix = in.Text(FarmValue::Prefix);
    if (!FarmSettings::IsValidPrefix(prefix)) {
        in.Refuse("Prefix " + Quoted(prefix) + ": it may hold no brace");
    } else if (!prefix.empty()) {
        read.prefix = prefix;
    }
    read.timeoutMs = in.Timeout();
    if (!in.Usable()) return E_INVALIDARG;
    *settings = std::move(read);
    return S_OK;
}

}  // namespace qc::farm
