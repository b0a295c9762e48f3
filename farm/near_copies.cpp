#include "farm/near_copies.h"

#include <utility>

namespace qc::farm {

NearCopies::Read::Read(Read&& other) noexcept
    : m_copies(std::exchange(other.m_copies, nullptr)),
      m_user(std::move(other.m_user)),
      m_epoch(other.m_epoch),
      m_fills(other.m_fills) {}

NearCopies::Read::~Read() {
    if (m_copies == nullptr) return;
    CScopedLock<OwnedLock> lock(m_copies->m_lock);
    m_copies->Finish(*this, nullptr, false);
}

void NearCopies::Read::End(const std::string* text) {
    if (m_copies == nullptr) return;
    CScopedLock<OwnedLock> lock(m_copies->m_lock);
    m_copies->Finish(*this, text, true);
}

bool NearCopies::Find(std::string_view user, std::string* text) {
    const std::string name(user);
    CScopedLock<OwnedLock> lock(m_lock);
    const auto copy = m_copies.find(name);
    if (copy == m_copies.end()) return false;
    *text = copy->second.text;
    return true;
}

NearCopies::Read NearCopies::BeginRead(std::string_view user) {
    std::string name(user);
    CScopedLock<OwnedLock> lock(m_lock);
    const bool fills = m_fills.try_emplace(name).second;
    return Read(this, std::move(name), m_epoch, fills);
}

void NearCopies::Finish(Read& read, const std::string* text, bool answered) {
    read.m_copies = nullptr;
    const auto fill = m_fills.find(read.m_user);
    if (!read.m_fills) {
        if (!answered) return;
        // A rider's answer unlike what is kept, or what the filler will
        // bring, means the entry changed while they read.
        const auto copy = m_copies.find(read.m_user);
        if (copy != m_copies.end() && (text == nullptr || *text != copy->second.text)) Erase(copy);
        if (fill == m_fills.end()) return;
        Fill& other = fill->second;
        const std::optional<std::string> answer = text ? std::optional<std::string>(*text) : std::nullopt;
        if (!other.seen) {
            other.seen = true;
            other.first = answer;
        } else if (other.first != answer) {
            other.mixed = true;
        }
        return;
    }
    // The filler: its record ends with it, whatever it brought.
    const Fill own = std::move(fill->second);
    m_fills.erase(fill);
    const bool raced = own.voided || (own.seen && (own.mixed || own.first != (text ? std::optional<std::string>(*text)
                                                                                    : std::nullopt)));
    if (answered && text != nullptr && m_live && read.m_epoch == m_epoch && !raced) Keep(read.m_user, *text);
}

void NearCopies::Keep(const std::string& user, const std::string& text) {
    if (m_capacity == 0) return;
    const auto [copy, made] = m_copies.try_emplace(user);
    copy->second.text = text;
    copy->second.kept = Clock::now();
    if (!made) m_order.erase(copy->second.place);
    copy->second.place = m_order.insert(m_order.end(), &copy->first);
    while (m_copies.size() > m_capacity) Erase(m_copies.find(*m_order.front()));
}

void NearCopies::Erase(std::unordered_map<std::string, Copy>::iterator copy) {
    m_order.erase(copy->second.place);
    m_copies.erase(copy);
}

void NearCopies::Invalidate(std::string_view user) {
    const std::string name(user);
    CScopedLock<OwnedLock> lock(m_lock);
    const auto copy = m_copies.find(name);
    if (copy != m_copies.end()) Erase(copy);
    const auto fill = m_fills.find(name);
    if (fill != m_fills.end()) fill->second.voided = true;
}

void NearCopies::NewEpoch() {
    m_copies.clear();
    m_order.clear();
    ++m_epoch;
}

void NearCopies::DropAll() {
    CScopedLock<OwnedLock> lock(m_lock);
    NewEpoch();
}

void NearCopies::SetLive(bool live) {
    CScopedLock<OwnedLock> lock(m_lock);
    m_live = live;
    NewEpoch();
}

void NearCopies::DropOlderThan(std::chrono::milliseconds age) {
    const Clock::time_point now = Clock::now();
    CScopedLock<OwnedLock> lock(m_lock);
    while (!m_order.empty()) {
        const auto oldest = m_copies.find(*m_order.front());
        if (now - oldest->second.kept < age) break;
        Erase(oldest);
    }
}

std::size_t NearCopies::Size() {
    CScopedLock<OwnedLock> lock(m_lock);
    return m_copies.size();
}

}  // namespace qc::farm
