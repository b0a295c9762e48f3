// COldFlusher: the age order of a cache store, which trimming follows.
//
// Every entry that is in the key table is on this list, oldest first. A
// replaced key counts as newly added: its new entry goes to the tail.
//
// REQUIRES: the owning store's lock, for every call.
#pragma once

#include "cache/cache_node_list.h"

template <class NodeType>
class COldFlusher {
public:
    void Add(NodeType* node) noexcept { m_list.PushBack(node); }
    void Remove(NodeType* node) noexcept { m_list.Remove(node); }

    NodeType* Oldest() const noexcept { return m_list.Head(); }
    static NodeType* Newer(const NodeType* node) noexcept { return List::Next(node); }

private:
    using List = CacheNodeList<NodeType, &NodeType::m_ageLinks>;
    List m_list;
};
