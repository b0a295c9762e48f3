// CExpireCuller: the expiry order of a cache store, which culling follows.
//
// The list runs by ascending expiry time, entries that never expire (0) at
// its tail, so a cull removes heads until the first one still valid. An
// entry whose expiry equals that of listed entries goes before them.
//
// REQUIRES: the owning store's lock, for every call.
#pragma once

#include "cache/cache_node_list.h"

template <class NodeType>
class CExpireCuller {
public:
    // Expired at `now` when it has an expiry and now is past it; an entry
    // whose expiry equals now is still valid.
    static bool IsExpired(unsigned long long expiry, unsigned long long now) noexcept {
        return expiry != 0 && now > expiry;
    }

    // Puts node before the first entry that has no expiry or expires at or
    // after it. The list is sorted, so that place is found from the tail:
    // behind the last entry that expires strictly sooner. New entries carry
    // the latest expiries, so this walk is short where a walk from the head
    // would cross the whole list.
    void Add(NodeType* node) noexcept {
        if (node->m_expiry == 0) {
            m_list.PushBack(node);
            return;
        }
        NodeType* sooner = m_list.Tail();
        while (sooner != nullptr && (sooner->m_expiry == 0 || sooner->m_expiry >= node->m_expiry))
            sooner = List::Prev(sooner);
        m_list.InsertAfter(sooner, node);
    }

    // Safe for an entry that is not on the list (an add still pending).
    void Remove(NodeType* node) noexcept { m_list.Remove(node); }

    // Reads the clock once for the cull that follows.
    void StartCull() noexcept { m_cullTime = qc::platform::SystemTimeAsFileTime(); }

    // The soonest entry if it had expired when the cull started, else null.
    NodeType* ExpiredHead() const noexcept {
        NodeType* head = m_list.Head();
        return head != nullptr && IsExpired(head->m_expiry, m_cullTime) ? head : nullptr;
    }

    NodeType* Soonest() const noexcept { return m_list.Head(); }
    static NodeType* Later(const NodeType* node) noexcept { return List::Next(node); }

private:
    using List = CacheNodeList<NodeType, &NodeType::m_expiryLinks>;
    unsigned long long m_cullTime = 0;  // FILETIME of the current cull
    List m_list;
};
