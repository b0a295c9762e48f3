// CExpireCuller: the expiry order of a cache store, which culling follows.
//
// The list runs by ascending expiry time, entries that never expire (0) at
// its tail, so a cull removes heads until the first one still valid. An
// entry whose expiry equals that of listed entries goes before them.
//
// Adds come with the latest expiries, often with equal ones (the adds of
// one tick of a coarse clock share their expiry), so the list remembers
// where the latest expiry's run starts and where the entries without expiry
// start: an add with an expiry at or after every listed one takes its place
// without a walk. Only an add that expires sooner than the latest listed
// entry walks, back from that run.
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
    // after it.
    void Add(NodeType* node) noexcept {
        const unsigned long long expiry = node->m_expiry;
        if (expiry == 0) {
            m_list.PushBack(node);
            if (m_pFirstNever == nullptr) m_pFirstNever = node;
            return;
        }
        NodeType* latest = m_pFirstNever != nullptr ? List::Prev(m_pFirstNever) : m_list.Tail();
        if (latest == nullptr || latest->m_expiry < expiry) {
            m_list.InsertAfter(latest, node);
            m_pLatestRun = node;
            return;
        }
        NodeType* run = LatestRun(latest);
        if (latest->m_expiry == expiry) {
            m_list.InsertAfter(List::Prev(run), node);
            m_pLatestRun = node;
            return;
        }
        // Sooner than the latest run: behind the last entry that expires
        // strictly sooner, found from the run back.
        NodeType* sooner = List::Prev(run);
        while (sooner != nullptr && sooner->m_expiry >= expiry) sooner = List::Prev(sooner);
        m_list.InsertAfter(sooner, node);
    }

    // Safe for an entry that is not on the list (an add still pending).
    void Remove(NodeType* node) noexcept {
        if (!m_list.Contains(node)) return;
        NodeType* next = List::Next(node);
        if (node == m_pFirstNever) m_pFirstNever = next;
        // The run keeps its start in the next entry when that shares its
        // expiry; else the latest run is now an earlier one, whose start the
        // next add that needs it finds.
        if (node == m_pLatestRun)
            m_pLatestRun = next != nullptr && next->m_expiry == node->m_expiry ? next : nullptr;
        m_list.Remove(node);
    }

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

    // The first entry of the run that shares the expiry of `latest`, the
    // latest-expiring entry; remembered once found.
    NodeType* LatestRun(NodeType* latest) noexcept {
        if (m_pLatestRun == nullptr) {
            NodeType* run = latest;
            for (NodeType* prev = List::Prev(run); prev != nullptr && prev->m_expiry == latest->m_expiry;
                 prev = List::Prev(prev))
                run = prev;
            m_pLatestRun = run;
        }
        return m_pLatestRun;
    }

    unsigned long long m_cullTime = 0;  // FILETIME of the current cull
    List m_list;
    NodeType* m_pFirstNever = nullptr;  // the first entry without expiry, or null
    NodeType* m_pLatestRun = nullptr;   // the latest expiry's first entry; null: not known
};
