// What an administrator sets for the farm, and the few rules read from it.
//
// A host that is empty, and no sentinels, means no farm: every cache stays in
// process. With sentinels, the server is the primary they name (masterName)
// and host is not used. Names in
// `caches` fold ASCII case as cache names do everywhere; "*" among them puts
// every cache on the farm. Strings are UTF-8.
#pragma once

#include "redis/resp_endpoint.h"
#include "redis/resp_server_source.h"
#include "platform/platform.h"
#include "support/secret_text.h"

#include <string>
#include <string_view>
#include <vector>

namespace qc::farm {

struct FarmSettings {
    static constexpr unsigned short kDefaultPort = 6379;
    static constexpr unsigned short kDefaultSentinelPort = 26379;
    static constexpr DWORD kDefaultTimeoutMs = 1000;
    // A longer time-out would let one call to a server that never answers
    // hold a page for minutes: a larger setting is held to this.
    static constexpr DWORD kMaxTimeoutMs = 30000;
    static constexpr DWORD kDefaultMaxConnections = 32;
    // Each connection is a socket and a client on the server: a larger
    // setting is held to this.
    static constexpr DWORD kMostConnections = 1024;

    std::string host;
    unsigned short port = kDefaultPort;
    std::vector<std::string> caches;
    SecretText password;   // empty: no AUTH
    std::string user;      // an ACL user, sent with the password
    std::string prefix = "quorcache:";
    DWORD timeoutMs = kDefaultTimeoutMs;
    DWORD maxConnections = kDefaultMaxConnections;  // to the server, at once

    // The server's database the farm's keys live in, selected on every new
    // connection: farms that share a server stay apart.
    static constexpr DWORD kMaxDatabase = 0x7FFFFFFF;  // the server's index is an int
    DWORD database = 0;

    // What serves a farm cache while the farm is out: nothing (its calls
    // fail), or an in-process cache of its own (manager/farm_fallback.cpp).
    enum class Fallback { None, Local };
    Fallback fallback = Fallback::None;

    // Nodes of a Redis cluster (Server, when set, then Servers): when not
    // empty, the farm is a cluster reached through any of them
    // (redis/cluster_router.h), and host:port is the first. A host alone may
    // name a cluster's node as well: the farm finds out on first use.
    std::vector<redis::RespAddress> servers;

    std::vector<redis::RespAddress> sentinels;  // when not empty, the server is the primary they name
    std::string masterName;                     // the name the sentinels watch
    SecretText sentinelPassword;                // empty: no AUTH with the sentinels

    // TLS with every server and sentinel, verified against the machine's
    // roots and the CA file, for tlsServerName or else the host
    // (redis::RespEndpoint).
    bool tls = false;
    std::string caCertificate;
    std::string tlsServerName;

    // Near copies of the farm entries this process reads (farm_cache.h), at
    // most nearCacheEntries per cache.
    static constexpr DWORD kDefaultNearCacheEntries = 10000;
    // Each copy is a text in the process's memory: a larger setting is held to this.
    static constexpr DWORD kMostNearCacheEntries = 1000000;
    bool nearCache = false;
    DWORD nearCacheEntries = kDefaultNearCacheEntries;

    // A prefix may hold no brace: a brace would decide the keys' slot.
    static bool IsValidPrefix(std::string_view prefix) { return prefix.find_first_of("{}") == std::string_view::npos; }

    bool HasFarm() const { return !host.empty() || !sentinels.empty(); }
    bool IsFarmCache(std::string_view cacheName) const;
    // Without the sentinels' locator, which CreateFarmServers adds
    // (farm_server_pool.h).
    redis::RespEndpoint Endpoint() const;
    // The server as the log names it in a line of its own: "host:port" (a
    // v6 address in brackets), "the cluster at host:port" with Servers, or
    // "the primary of 'name'".
    std::string ServerName() const;
    // ServerName, and with sentinels " named by the sentinels " and theirs;
    // with Servers, "the cluster of the nodes " and theirs.
    std::string ServerText() const;
};

// Names separated by ", ", as the log lists them.
std::string Listed(const std::vector<std::string>& names);

// An administrator's or a server's text as a log line quotes it: control
// characters as '?', and cut (at a character's start) after `longest` bytes.
std::string Quoted(std::string_view text, std::size_t longest = 64);

// `text` without the spaces and tabs around it.
std::string_view Trimmed(std::string_view text);

// Reads "host", "host:port", "[v6 address]" or "[v6 address]:port" (a bare
// address with several colons is a v6 address without a port) into host and
// port; spaces around it are ignored. The port defaults to 6379 and must be
// 1 to 65535. The same may come as a URL, "redis://host:port", with no path
// or a database ("/2"), which sets the database (and *namesDatabase, when
// given); "rediss://" also turns TLS on. A user or password in the URL is
// refused, as the settings have their own value for the password.
// E_INVALIDARG for anything else, with *why (when given) saying why in a few
// words, and nothing is changed then.
HRESULT ParseServer(std::string_view text, FarmSettings* settings, const char** why = nullptr,
                    bool* namesDatabase = nullptr);

// One sentinel's "host", "host:port", "[v6 address]" or "[v6 address]:port",
// the port 26379 by default; E_INVALIDARG as ParseServer, and no URL.
HRESULT ParseSentinel(std::string_view text, redis::RespAddress* sentinel, const char** why = nullptr);
// One cluster node's, the same way, the port 6379 by default.
HRESULT ParseClusterNode(std::string_view text, redis::RespAddress* node, const char** why = nullptr);

}  // namespace qc::farm
