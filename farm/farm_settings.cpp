#include "farm/farm_settings.h"

#include "support/cache_name_less.h"

#include <algorithm>
#include <charconv>

namespace qc::farm {
namespace {

// The port after a colon; null, or why it is not one.
const char* ParsePort(std::string_view text, unsigned short* port) {
    if (text.empty()) return "the port after the colon is missing";
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (parsed.ptr != end || parsed.ec == std::errc::invalid_argument) return "the port is not a number";
    if (parsed.ec != std::errc() || value == 0 || value > 65535) return "the port is not 1 to 65535";
    *port = static_cast<unsigned short>(value);
    return nullptr;
}

// The database after a URL's host ("/2"); null, or why it is not one.
const char* ParseDatabase(std::string_view text, DWORD* database) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (text.empty() || parsed.ptr != end || parsed.ec != std::errc() || value > FarmSettings::kMaxDatabase)
        return "only a database number may follow the host in the URL";
    *database = static_cast<DWORD>(value);
    return nullptr;
}

// A "redis://" or "rediss://" URL becomes the host and port it names, its
// database when it names one (*database is left as it is otherwise), and
// for "rediss://" *tls; null, or why the URL cannot be used. Text without a
// scheme is left as it is.
const char* StripUrl(std::string_view* text, DWORD* database, bool* namesDatabase, bool* tls) {
    const std::size_t schemeEnd = text->find("://");
    if (schemeEnd == std::string_view::npos) return nullptr;
    const std::string_view scheme = text->substr(0, schemeEnd);
    *tls = CacheNameLess::Compare(scheme, "rediss") == 0;
    if (!*tls && CacheNameLess::Compare(scheme, "redis") != 0) return "a URL must start with redis:// or rediss://";
    const std::string_view rest = text->substr(schemeEnd + 3);
    const std::size_t authorityEnd = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authorityEnd);
    if (authority.find('@') != std::string_view::npos) return "a user or password in the URL is not supported";
    const std::string_view path = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    *namesDatabase = !path.empty() && path != "/";
    if (*namesDatabase) {
        if (path.front() != '/') return "only a database number may follow the host in the URL";
        if (const char* problem = ParseDatabase(path.substr(1), database)) return problem;
    }
    *text = authority;
    return nullptr;
}

// "host", "host:port" or a v6 address with or without brackets; null, or
// why it cannot be read.
const char* SplitAddress(std::string_view text, std::string_view* host, unsigned short* port) {
    *host = text;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return "the ']' closing the IPv6 address is missing";
        *host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (rest.empty()) return nullptr;
        if (rest.front() != ':') return "only :port may follow the IPv6 address";
        return ParsePort(rest.substr(1), port);
    } else if (const std::size_t colon = text.find(':');
               colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
        *host = text.substr(0, colon);
        return ParsePort(text.substr(colon + 1), port);
    }
    return nullptr;
}

// SplitAddress, and a host that can be one; null, or why not.
const char* ReadAddress(std::string_view text, std::string_view* host, unsigned short* port) {
    const char* problem = SplitAddress(text, host, port);
    if (problem == nullptr && host->empty()) problem = "the host is missing";
    if (problem == nullptr && host->find_first_of(" \t[]@/?#,;") != std::string_view::npos)
        problem = "the host holds a character no host name has";
    return problem;
}

HRESULT ParseAddress(std::string_view text, unsigned short defaultPort, redis::RespAddress* address,
                     const char** why) {
    std::string_view host;
    unsigned short port = defaultPort;
    if (const char* problem = ReadAddress(Trimmed(text), &host, &port)) {
        if (why != nullptr) *why = problem;
        return E_INVALIDARG;
    }
    address->host.assign(host.data(), host.size());
    address->port = port;
    return S_OK;
}

}  // namespace

std::string Listed(const std::vector<std::string>& names) {
    std::string listed;
    for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
    return listed;
}

std::string Quoted(std::string_view text, std::size_t longest) {
    std::size_t length = text.size();
    if (length > longest) {
        length = longest;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::string quoted = "'";
    for (const char c : text.substr(0, length)) quoted += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    quoted += length < text.size() ? "...'" : "'";
    return quoted;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool FarmSettings::IsFarmCache(std::string_view cacheName) const {
    return std::any_of(caches.begin(), caches.end(), [&](const std::string& listed) {
        return listed == "*" || CacheNameLess::Compare(listed, cacheName) == 0;
    });
}

std::string FarmSettings::ServerName() const {
    if (!sentinels.empty()) return "the primary of '" + masterName + "'";
    const std::string address = redis::RespAddress{host, port}.Text();
    return servers.empty() ? address : "the cluster at " + address;
}

std::string FarmSettings::ServerText() const {
    const auto listed = [](const std::vector<redis::RespAddress>& addresses) {
        std::vector<std::string> named;
        for (const redis::RespAddress& address : addresses) named.push_back(address.Text());
        return Listed(named);
    };
    if (!sentinels.empty()) return ServerName() + " named by the sentinels " + listed(sentinels);
    if (!servers.empty()) return "the cluster of the nodes " + listed(servers);
    return ServerName();
}

redis::RespEndpoint FarmSettings::Endpoint() const {
    redis::RespEndpoint endpoint;
    endpoint.host = host;
    endpoint.port = port;
    endpoint.user = user;
    endpoint.password = password;
    endpoint.timeoutMs = timeoutMs;
    endpoint.database = database;
    endpoint.maxConnections = maxConnections;
    endpoint.tls = tls;
    endpoint.caCertificate = caCertificate;
    endpoint.tlsServerName = tlsServerName;
    return endpoint;
}

HRESULT ParseServer(std::string_view text, FarmSettings* settings, const char** why, bool* namesDatabase) {
    text = Trimmed(text);
    std::string_view host;
    unsigned short port = FarmSettings::kDefaultPort;
    DWORD database = settings->database;
    bool named = false;
    bool tls = false;
    const char* problem = StripUrl(&text, &database, &named, &tls);
    if (problem == nullptr) problem = ReadAddress(text, &host, &port);
    if (problem != nullptr) {
        if (why != nullptr) *why = problem;
        return E_INVALIDARG;
    }
    settings->host.assign(host.data(), host.size());
    settings->port = port;
    settings->database = database;
    settings->tls = settings->tls || tls;
    if (namesDatabase != nullptr) *namesDatabase = named;
    return S_OK;
}

HRESULT ParseSentinel(std::string_view text, redis::RespAddress* sentinel, const char** why) {
    return ParseAddress(text, FarmSettings::kDefaultSentinelPort, sentinel, why);
}

HRESULT ParseClusterNode(std::string_view text, redis::RespAddress* node, const char** why) {
    return ParseAddress(text, FarmSettings::kDefaultPort, node, why);
}

}  // namespace qc::farm
