#include "farm_tool/farm_tool.h"

#include "farm/farm_cache.h"
#include "farm_tool/farm_tool_commands.h"
#include "platform/protected_secret.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <ostream>

namespace qc::farm {
namespace {

const char kUsage[] =
    "Usage: quorcache-farm COMMAND\n"
    "The farm's settings on this web server (HKLM\\SOFTWARE\\QuorCache\\Farm, 64-bit view):\n"
    "  set-password [--sentinel]  reads the password from standard input (one line, not echoed at a\n"
    "                             console) and stores it protected for this machine as Password\n"
    "                             (SentinelPassword with --sentinel); run it as an administrator\n"
    "  check                      connects as QuorCache does and tells the server's address, Redis\n"
    "                             version, role, PING time and the farm caches with their entries\n"
    "  show                       the settings as QuorCache reads them (passwords only as set or not)\n"
    "  set-limits CACHE MAXENTRIES LIFETIMEMINUTES\n"
    "                             a farm cache's limit and lifetime for every server of the site,\n"
    "                             numbers as CreateCache takes them; each server takes them at its\n"
    "                             next flush\n"
    "  --help                     this text\n"
    "Exit codes: 0 done, 1 the command failed (it says why), 2 a wrong command line.\n";

int Usage(std::ostream& err) {
    err << kUsage;
    return kToolUsage;
}

// A number as CreateCache takes it: a 32-bit signed integer, written in
// decimal digits with an optional minus.
bool ParseLong(const std::string& text, LONG* value) {
    long long number = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, number);
    if (parsed.ec != std::errc() || parsed.ptr != end || number < std::numeric_limits<LONG>::min() ||
        number > std::numeric_limits<LONG>::max())
        return false;
    *value = static_cast<LONG>(number);
    return true;
}

const char* SetOrNot(const SecretText& secret) { return secret.empty() ? "not set" : "set"; }

// One line of `show`: the name in a column, then the value.
void Line(std::ostream& out, const char* name, const std::string& value) {
    char label[24];
    std::snprintf(label, sizeof label, "%-18s", (std::string(name) + ":").c_str());
    out << label << value << "\n";
}

int Show(FarmToolSystem& system, std::ostream& out, std::ostream& err) {
    FarmSettings settings;
    std::vector<std::string> notes;
    const HRESULT hr = system.ReadSettings(&settings, &notes);
    for (const std::string& note : notes) out << "note: " << note << "\n";
    if (FAILED(hr)) {
        err << "These settings cannot be used (" << HexOf(hr) << "): every cache stays in process.\n";
        return kToolFailed;
    }
    if (!settings.HasFarm()) {
        out << "No farm is set up (no Server or Sentinels): every cache stays in process.\n";
        return kToolDone;
    }
    Line(out, "Server", settings.ServerText());
    if (!settings.sentinels.empty()) Line(out, "SentinelPassword", SetOrNot(settings.sentinelPassword));
    if (!settings.user.empty()) Line(out, "User", Quoted(settings.user));
    Line(out, "Password", SetOrNot(settings.password));
    Line(out, "Caches", Listed(settings.caches));
    Line(out, "Prefix", Quoted(settings.prefix, 200));
    Line(out, "Database", std::to_string(settings.database));
    Line(out, "TimeoutMs", std::to_string(settings.timeoutMs));
    Line(out, "MaxConnections", std::to_string(settings.maxConnections));
    Line(out, "Fallback", settings.fallback == FarmSettings::Fallback::Local ? "Local" : "None");
    Line(out, "Tls", settings.tls ? "on" : "off");
    if (settings.tls) {
        Line(out, "CaCertificate", settings.caCertificate.empty() ? "none" : Quoted(settings.caCertificate, 260));
        Line(out, "TlsServerName", settings.tlsServerName.empty() ? "none" : Quoted(settings.tlsServerName));
    }
    return kToolDone;
}

// The line read, wiped from memory on every path once it is protected.
class PasswordLine {
public:
    PasswordLine() = default;
    PasswordLine(const PasswordLine&) = delete;
    PasswordLine& operator=(const PasswordLine&) = delete;
    ~PasswordLine() { platform::WipeSecret(&text); }
    std::string text;
};

int SetPassword(bool sentinel, FarmToolSystem& system, std::ostream& out, std::ostream& err) {
    const FarmValue which = sentinel ? FarmValue::SentinelPassword : FarmValue::Password;
    const char* name = kFarmValueNames[static_cast<std::size_t>(which)];
    PasswordLine password;
    HRESULT hr = system.ReadSecretLine(&password.text);
    if (FAILED(hr)) {
        err << "The password could not be read from standard input (" << HexOf(hr) << ").\n";
        return kToolFailed;
    }
    if (password.text.empty()) {
        err << "An empty line: nothing is stored. Without a password, delete the value " << name << " instead.\n";
        return kToolFailed;
    }
    std::vector<unsigned char> blob;
    hr = platform::ProtectSecret(password.text, &blob);
    if (FAILED(hr)) {
        err << "The password could not be protected for this machine (" << HexOf(hr) << ").\n";
        return kToolFailed;
    }
    hr = system.WriteBinaryValue(which, blob);
    if (FAILED(hr)) {
        err << "The value " << name << " could not be written (" << HexOf(hr) << ")"
            << (hr == static_cast<HRESULT>(0x80070005) ? ": run the tool as an administrator" : "") << ".\n";
        return kToolFailed;
    }
    out << name << " is stored, protected for this machine; QuorCache reads it at the next Initialize.\n";
    return kToolDone;
}

int SetLimits(const std::string& cacheName, LONG maxEntries, LONG lifetimeMinutes, FarmToolSystem& system,
              std::ostream& out, std::ostream& err) {
    FarmSettings settings;
    if (!ReadFarm(system, err, &settings)) return kToolFailed;
    if (!settings.IsFarmCache(cacheName)) {
        err << Quoted(cacheName) << " is not a farm cache here: Caches names " << Listed(settings.caches) << ".\n";
        return kToolFailed;
    }
    FarmConnection connection(settings);
    HRESULT hr = connection.Create();
    bool existed = false;
    if (SUCCEEDED(hr)) {
        FarmCache cache(connection.Servers().ForCache(FarmCacheKeys(settings.prefix, cacheName), nullptr),
                        settings.prefix, cacheName, static_cast<ULONG>(maxEntries), lifetimeMinutes);
        hr = cache.SetLimits(static_cast<ULONG>(maxEntries), lifetimeMinutes, &existed);
    }
    if (FAILED(hr)) {
        connection.TellFailure(hr, err);
        return kToolFailed;
    }
    out << Quoted(cacheName) << " on " << connection.Address() << ": MaxEntries " << maxEntries
        << ", LifetimeMinutes " << lifetimeMinutes << "; every server takes them at its next flush.\n";
    if (!existed) out << "No server has created it yet: the first to create it takes these.\n";
    return kToolDone;
}

}  // namespace

int RunFarmTool(const std::vector<std::string>& arguments, FarmToolSystem& system, std::ostream& out,
                std::ostream& err) {
    const std::size_t count = arguments.size();
    const std::string command = count != 0 ? arguments[0] : std::string();
    if (count == 1 && (command == "--help" || command == "-h" || command == "/?")) {
        out << kUsage;
        return kToolDone;
    }
    if (command == "set-password" && (count == 1 || (count == 2 && arguments[1] == "--sentinel")))
        return SetPassword(count == 2, system, out, err);
    if (command == "check" && count == 1) return Check(system, out, err);
    if (command == "show" && count == 1) return Show(system, out, err);
    LONG maxEntries = 0, lifetimeMinutes = 0;
    if (command == "set-limits" && count == 4 && ParseLong(arguments[2], &maxEntries) &&
        ParseLong(arguments[3], &lifetimeMinutes))
        return SetLimits(arguments[1], maxEntries, lifetimeMinutes, system, out, err);
    return Usage(err);
}

}  // namespace qc::farm
