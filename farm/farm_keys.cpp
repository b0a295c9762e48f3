#include "farm/farm_keys.h"

#include "support/cache_name_less.h"

namespace qc::farm {

std::string CacheNameInKey(std::string_view cacheName) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (cacheName.empty()) return "%";  // an empty tag would not tag
    std::string encoded;
    encoded.reserve(cacheName.size());
    for (const char raw : cacheName) {
        const unsigned char c = CacheNameLess::FoldAscii(static_cast<unsigned char>(raw));
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kDigits[c >> 4];
            encoded += kDigits[c & 0xF];
        }
    }
    return encoded;
}

FarmCacheKeys::FarmCacheKeys(std::string_view prefix, std::string_view cacheName) {
    const std::string base = std::string(prefix) + "{" + CacheNameInKey(cacheName) + "}:";
    m_settings = base + "s";
    m_ages = base + "age";
    m_entryPrefix = base + "e:";
}

}  // namespace qc::farm
