// Which of a server's error replies the log hears of: at most one of each
// kind (the reply's first word, e.g. "READONLY" or "ERR") per minute, so
// that a fault that fails every call fills no log. A routine reply (NOSCRIPT,
// which the script runner answers by sending the script) is never told.
//
// Thread-safe. It remembers up to kMostKinds kinds; a server that sends more
// kinds within a minute has the rest go untold until the oldest expire.
#pragma once

#include "support/owned_lock.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace qc::redis {

class ErrorReplyThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kQuietTime{60};
    static constexpr std::size_t kMostKinds = 32;
    // A kind is cut to this many bytes (codes are short words).
    static constexpr std::size_t kLongestKind = 32;

    HRESULT Status() const { return m_lock.Status(); }

    // Whether the error reply `text` should be told now. May throw std::bad_alloc.
    bool ShouldTell(std::string_view text);

private:
    struct Told {
        std::string kind;
        Clock::time_point at;
    };

    OwnedLock m_lock;
    std::vector<Told> m_told;  // guarded by m_lock
};

}  // namespace qc::redis
