// `check`: the farm's server reached as the DLL reaches it (the settings,
// the pool, the sentinels, TLS, AUTH, SELECT), then what an operator wants
// to see of it.
#include "farm/farm_keys.h"
#include "farm/farm_server_pool.h"
#include "farm_tool/farm_tool_commands.h"
#include "platform/tls.h"
#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/resp_connection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <map>

namespace qc::farm {
namespace {

// A failure in words, as the README's table of errors gives it.
const char* ReasonOf(HRESULT why) {
    if (const char* tls = platform::TlsRefusalReason(why)) return tls;
    switch (why) {
        case platform::kSocketRefused: return "the connection is refused: nothing listens there";
        case platform::kSocketTimedOut: return "no answer within TimeoutMs";
        case platform::kSocketReset: return "the server dropped the connection";
        case platform::kSocketHostNotFound: return "the host is not found";
        case redis::kAccessDenied: return "the server refuses the password, or a right the user lacks";
        case redis::kMalformedReply: return "the answer is not Redis's";
        case redis::kTooLarge: return "an answer over QuorCache's bounds";
        case E_OUTOFMEMORY: return "out of memory, here or on the server (its maxmemory)";
        case redis::kServerNotReady:
            return "the server cannot serve now: a replica, one cut off from its primary, or one still loading";
        case redis::kServerTooOld: return "the server runs a Redis older than 5.0, which the farm needs";
        case redis::kServerError: return "the server answered an error";
        case redis::kPoolBusy: return "no free connection within TimeoutMs";
        case redis::kNoSuchPrimary: return "the sentinels watch no primary named MasterName";
        default: return "an unexpected failure";
    }
}

// One command through the pool, an error reply counted as its failure.
HRESULT Ask(redis::RespConnectionPool& pool, std::initializer_list<std::string_view> words, redis::RespReply* reply) {
    redis::RespCommand command;
    for (const std::string_view word : words) command.Add(word);
    const HRESULT hr = pool.Execute(command.Encoded(), reply);
    if (FAILED(hr)) return hr;
    return reply->IsError() ? redis::HResultOfErrorReply(reply->text) : S_OK;
}

// What INFO or ROLE told, or the server's refusal to tell (a user's rights
// may leave them out): neither is needed by the farm.
std::string Told(HRESULT hr, const redis::RespReply& reply, std::string_view value) {
    if (SUCCEEDED(hr)) return value.empty() ? "not told" : std::string(value);
    return "not told (" + Quoted(reply.text, 120) + ")";
}

// A SCAN pattern that matches `text` as it stands.
std::string GlobLiteral(std::string_view text) {
    std::string pattern;
    for (const char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return pattern;
}

// The cache's name as its keys hold it (farm_keys.h), of a settings key
// under the prefix; false for any other key the pattern let through.
bool CacheOfSettingsKey(std::string_view key, std::string_view prefix, std::string* encoded) {
    if (key.substr(0, prefix.size()) != prefix) return false;
    key.remove_prefix(prefix.size());
    const std::size_t close = key.find('}');
    if (key.empty() || key.front() != '{' || close == std::string_view::npos || key.substr(close) != "}:s")
        return false;
    encoded->assign(key.substr(1, close - 1));
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The folded name back from its escapes (farm_keys.h), as an operator reads it.
std::string Unescaped(std::string_view encoded) {
    if (encoded == "%") return "";
    std::string name;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%' && i + 2 < encoded.size() && HexDigit(encoded[i + 1]) >= 0 &&
            HexDigit(encoded[i + 2]) >= 0) {
            name += static_cast<char>(HexDigit(encoded[i + 1]) * 16 + HexDigit(encoded[i + 2]));
            i += 2;
        } else {
            name += encoded[i];
        }
    }
    return name;
}

struct CacheFound {
    std::string entries, maxEntries, lifetime;
};

// Every farm cache under the prefix, by its name in the keys.
HRESULT ListCaches(redis::RespConnectionPool& pool, const std::string& prefix, std::map<std::string, CacheFound>* caches,
                   redis::RespReply* reply) {
    const std::string pattern = GlobLiteral(prefix) + "{*}:s";
    std::string cursor = "0";
    do {
        HRESULT hr = Ask(pool, {"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"}, reply);
        if (FAILED(hr)) return hr;
        if (reply->elements.size() != 2) return redis::kMalformedReply;
        cursor = reply->elements[0].text;
        const std::vector<redis::RespReply> keys = std::move(reply->elements[1].elements);
        for (const redis::RespReply& key : keys) {
            std::string encoded;
            if (!CacheOfSettingsKey(key.text, prefix, &encoded)) continue;
            const FarmCacheKeys cacheKeys(prefix, Unescaped(encoded));
            CacheFound& found = (*caches)[encoded];
            if (FAILED(hr = Ask(pool, {"ZCARD", cacheKeys.Ages()}, reply))) return hr;
            found.entries = std::to_string(reply->integer);
            if (FAILED(hr = Ask(pool, {"HMGET", cacheKeys.Settings(), "max", "life"}, reply))) return hr;
            if (reply->elements.size() != 2) return redis::kMalformedReply;
            found.maxEntries = reply->elements[0].kind != redis::RespReply::Kind::Bulk ? "?" : reply->elements[0].text;
            found.lifetime = reply->elements[1].kind != redis::RespReply::Kind::Bulk ? "?" : reply->elements[1].text;
        }
    } while (cursor != "0");
    return S_OK;
}

}  // namespace

std::string HexOf(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

bool ReadFarm(FarmToolSystem& system, std::ostream& err, FarmSettings* settings) {
    std::vector<std::string> notes;
    const HRESULT hr = system.ReadSettings(settings, &notes);
    for (const std::string& note : notes) err << "note: " << note << "\n";
    if (FAILED(hr)) {
        err << "The farm's settings cannot be used (" << HexOf(hr) << ").\n";
        return false;
    }
    if (!settings->HasFarm()) {
        err << "No farm is set up (no Server or Sentinels).\n";
        return false;
    }
    return true;
}

HRESULT FarmConnection::Create() {
    const HRESULT hr = CreateFarmServers(m_settings, this, this, &m_servers);
    if (FAILED(hr)) return hr;
    if (m_servers.pool) {
        m_pool = m_servers.pool;
        return S_OK;
    }
    return m_servers.router->NodePool(m_servers.router->FirstSeed(), &m_pool);
}

std::string FarmConnection::Address() const {
    if (m_settings.sentinels.empty()) return m_settings.ServerName();
    return m_primary.empty() ? m_settings.ServerText() : m_primary + ", " + m_settings.ServerText();
}

void FarmConnection::TellFailure(HRESULT why, std::ostream& err) const {
    err << "failed: " << Address() << ": " << HexOf(why) << ": " << ReasonOf(why);
    if (!m_errorReply.empty()) err << "; it said " << Quoted(m_errorReply, 200);
    err << "\n";
}

int Check(FarmToolSystem& system, std::ostream& out, std::ostream& err) {
    FarmSettings settings;
    if (!ReadFarm(system, err, &settings)) return kToolFailed;
    FarmConnection connection(settings);
    HRESULT hr = connection.Create();
    if (FAILED(hr)) {
        connection.TellFailure(hr, err);
        return kToolFailed;
    }
    redis::RespConnectionPool& pool = *connection.Pool();
    // The first PING opens the connection as the DLL does; the second is
    // the round trip alone. A user kept to the farm's own commands may not
    // PING: its refusal is the server's answer all the same.
    redis::RespReply reply;
    const auto pinged = [&](std::chrono::steady_clock::duration* took) {
        const auto start = std::chrono::steady_clock::now();
        reply = {};
        const HRESULT result = Ask(pool, {"PING"}, &reply);
        *took = std::chrono::steady_clock::now() - start;
        return reply.IsError() && redis::HasErrorCode(reply.text, "NOPERM") ? S_OK : result;
    };
    std::chrono::steady_clock::duration took{};
    if (FAILED(hr = pinged(&took)) || FAILED(hr = pinged(&took))) {
        connection.TellFailure(hr, err);
        return kToolFailed;
    }
    out << "Server:   " << connection.Address() << "\n";
    hr = Ask(pool, {"INFO", "server"}, &reply);
    out << "Redis:    " << Told(hr, reply, SUCCEEDED(hr) ? redis::ServerVersion(reply.text) : "") << "\n";
    hr = Ask(pool, {"ROLE"}, &reply);
    out << "Role:     " << Told(hr, reply, SUCCEEDED(hr) && !reply.elements.empty() ? reply.elements[0].text : "")
        << "\n";
    char rtt[32];
    std::snprintf(rtt, sizeof rtt, "%.2f ms",
                  std::chrono::duration<double, std::milli>(took).count());
    out << "PING:     " << rtt << "\n";

    // A cluster's caches are spread over its primaries: each lists its own.
    std::vector<std::shared_ptr<redis::RespConnectionPool>> listed{connection.Pool()};
    if (const std::shared_ptr<redis::ClusterRouter>& router = connection.Servers().router) {
        std::vector<redis::RespAddress> primaries;
        if (FAILED(hr = router->Servers(pool.NewDeadline(), &primaries))) {
            connection.TellFailure(hr, err);
            return kToolFailed;
        }
        if (router->IsCluster()) {
            out << "Cluster:  " << primaries.size() << " primaries:";
            listed.clear();
            for (const redis::RespAddress& primary : primaries) {
                out << " " << primary.Text();
                listed.emplace_back();
                if (FAILED(hr = router->NodePool(primary, &listed.back()))) {
                    connection.TellFailure(hr, err);
                    return kToolFailed;
                }
            }
            out << "\n";
        }
    }
    std::map<std::string, CacheFound> caches;
    for (const auto& node : listed)
        if (FAILED(hr = ListCaches(*node, settings.prefix, &caches, &reply))) break;
    if (FAILED(hr) && reply.IsError()) {
        // A user kept to the farm's own commands may not scan the keys.
        out << "Farm caches under " << Quoted(settings.prefix, 200) << ": " << Told(hr, reply, "") << "\n";
        return kToolDone;
    }
    if (FAILED(hr)) {
        connection.TellFailure(hr, err);
        return kToolFailed;
    }
    out << "Farm caches under " << Quoted(settings.prefix, 200) << ": " << caches.size() << "\n";
    for (const auto& [encoded, found] : caches) {
        out << "  " << Quoted(Unescaped(encoded), 200) << ": entries " << found.entries << ", MaxEntries "
            << found.maxEntries << ", LifetimeMinutes " << found.lifetime << "\n";
    }
    return kToolDone;
}

}  // namespace qc::farm
