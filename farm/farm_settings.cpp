#include "farm/farm_settings.h"

#include "manager/cache_name_less.h"

#include <algorithm>
#include <charconv>

namespace qc::farm {
namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool ParsePort(std::string_view text, unsigned short* port) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end || value == 0 || value > 65535) return false;
    *port = static_cast<unsigned short>(value);
    return true;
}

}  // namespace

bool FarmSettings::IsFarmCache(std::string_view cacheName) const {
    return std::any_of(caches.begin(), caches.end(), [&](const std::string& listed) {
        return listed == "*" || CacheNameLess::Compare(listed, cacheName) == 0;
    });
}

RespEndpoint FarmSettings::Endpoint() const {
    RespEndpoint endpoint;
    endpoint.host = host;
    endpoint.port = port;
    endpoint.password = password;
    endpoint.timeoutMs = timeoutMs;
    return endpoint;
}

HRESULT ParseServer(std::string_view text, FarmSettings* settings) {
    text = Trimmed(text);
    std::string_view host = text;
    unsigned short port = FarmSettings::kDefaultPort;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return E_INVALIDARG;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !ParsePort(rest.substr(1), &port))) return E_INVALIDARG;
    } else if (const std::size_t colon = text.find(':');
               colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
        host = text.substr(0, colon);
        if (!ParsePort(text.substr(colon + 1), &port)) return E_INVALIDARG;
    }
    if (host.empty() || host.find_first_of(" \t[]") != std::string_view::npos) return E_INVALIDARG;
    settings->host.assign(host.data(), host.size());
    settings->port = port;
    return S_OK;
}

}  // namespace qc::farm
