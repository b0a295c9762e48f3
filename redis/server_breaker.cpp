#include "redis/server_breaker.h"

#include "redis/redis_errors.h"

#include <algorithm>

namespace qc::redis {
namespace {

// A failure of this process, not of the server, which was not asked.
bool IsOwnShortage(HRESULT result) { return result == E_OUTOFMEMORY || result == kPoolBusy; }

}  // namespace

HRESULT ServerBreaker::Admit(bool* probe) noexcept {
    *probe = false;
    if (m_rejection.load(std::memory_order_acquire) == S_OK) return S_OK;
    CScopedLock<OwnedLock> lock(m_lock);
    if (m_gate == Gate::Closed) return S_OK;
    if (m_gate == Gate::Open && Clock::now() >= m_windowEnds) {
        m_gate = Gate::Probing;
        *probe = true;
        return S_OK;
    }
    return m_rejection.load(std::memory_order_relaxed);
}

void ServerBreaker::Open(HRESULT why, std::chrono::milliseconds window, Clock::time_point now) {
    m_gate = Gate::Open;
    m_window = window;
    m_windowEnds = now + window;
    m_rejection.store(why, std::memory_order_release);
}

void ServerBreaker::Close() {
    m_gate = Gate::Closed;
    m_window = kFirstWindow;
    m_rejection.store(S_OK, std::memory_order_release);
}

void ServerBreaker::Record(HRESULT result, bool probe) noexcept {
    const bool connectionFailure = IsConnectionFailure(result);
    if (!connectionFailure && SUCCEEDED(result) && m_up.load(std::memory_order_acquire) &&
        m_rejection.load(std::memory_order_acquire) == S_OK)
        return;
    CScopedLock<OwnedLock> lock(m_lock);
    const Clock::time_point now = Clock::now();
    if (probe && m_gate == Gate::Probing && connectionFailure) {
        Open(result, std::min(2 * m_window, kLongestWindow), now);
    } else if (probe && m_gate == Gate::Probing && IsOwnShortage(result)) {
        Open(m_rejection.load(std::memory_order_relaxed), m_window, now - m_window);
    } else if (connectionFailure && m_gate == Gate::Closed) {
        Open(result, kFirstWindow, now);
    } else if (!connectionFailure && !IsOwnShortage(result) && m_gate != Gate::Closed) {
        Close();
    }
    Note(result, now);
}

void ServerBreaker::Note(HRESULT result, Clock::time_point now) {
    if (IsOwnShortage(result)) return;
    if (FAILED(result)) {
        if (m_health == Health::Up && m_observer != nullptr) m_observer->OnOutage(result);
        m_health = Health::Out;
        m_up.store(false, std::memory_order_release);
    } else if (m_health == Health::Out) {
        m_health = Health::Recovering;
        m_recoveringSince = now;
    } else if (m_health == Health::Recovering && now - m_recoveringSince >= kSteadyTime) {
        m_health = Health::Up;
        m_up.store(true, std::memory_order_release);
        if (m_observer != nullptr) m_observer->OnRecovered();
    }
}

}  // namespace qc::redis
