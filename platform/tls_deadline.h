// Inside the TLS seam: the one deadline a call keeps across the socket calls
// it makes, each given the time that is left. Not for use outside platform/.
#pragma once

#include "platform/platform.h"

#include <chrono>

namespace qc::platform::detail {

using Clock = std::chrono::steady_clock;

inline Clock::time_point DeadlineAfter(DWORD timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

inline DWORD MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

}  // namespace qc::platform::detail
