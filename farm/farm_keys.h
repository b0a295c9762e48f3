// The names of one farm cache's keys on the server.
//
//   <prefix>{<cache>}:s           hash   the cache's settings and peak
//   <prefix>{<cache>}:age         zset   user -> server time of its add, us
//   <prefix>{<cache>}:e:<user>    string one entry's text
//
// <cache> is the cache name with ASCII letters folded to lower case, as the
// manager folds names, then escaped: every byte other than a-z 0-9 - _ . is
// written %XX, and the empty name is a lone % (Redis ignores an empty tag;
// no other name is written so). It holds no brace and is never empty, and
// the prefix holds none either (FarmSettings::IsValidPrefix), so {<cache>}
// is the tag Redis slots every key of the cache by: one cache, one slot. The
// encoding is one to one and closed by the first '}', so two caches never
// share a key; <user> is the rest of the key, its bytes as they are, so two
// users of a cache never share one either.
#pragma once

#include <string>
#include <string_view>

namespace qc::farm {

// The folded, escaped form of a cache name inside its keys.
std::string CacheNameInKey(std::string_view cacheName);

class FarmCacheKeys {
public:
    FarmCacheKeys(std::string_view prefix, std::string_view cacheName);

    const std::string& Settings() const { return m_settings; }
    const std::string& Ages() const { return m_ages; }
    // What every entry's key starts with; the scripts that find entries by
    // user (flush, clear) add the user to it on the server.
    const std::string& EntryPrefix() const { return m_entryPrefix; }
    std::string Entry(std::string_view user) const { return m_entryPrefix + std::string(user); }

private:
    std::string m_settings;
    std::string m_ages;
    std::string m_entryPrefix;
};

}  // namespace qc::farm
