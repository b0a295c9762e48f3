#include "redis/error_reply_throttle.h"

#include "redis/redis_errors.h"

#include <algorithm>

namespace qc::redis {

bool ErrorReplyThrottle::ShouldTell(std::string_view text) {
    if (IsNoScriptReply(text)) return false;
    const std::string_view kind = text.substr(0, std::min(text.find(' '), kLongestKind));
    const Clock::time_point now = Clock::now();
    CScopedLock<OwnedLock> lock(m_lock);
    m_told.erase(std::remove_if(m_told.begin(), m_told.end(), [&](const Told& told) { return now - told.at >= kQuietTime; }),
                 m_told.end());
    if (m_told.size() >= kMostKinds ||
        std::any_of(m_told.begin(), m_told.end(), [&](const Told& told) { return told.kind == kind; }))
        return false;
    m_told.push_back(Told{std::string(kind), now});
    return true;
}

}  // namespace qc::redis
