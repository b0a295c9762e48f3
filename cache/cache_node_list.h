// CacheNodeList: an intrusive doubly linked list of cache entries, threaded
// through one pair of links that each entry embeds. The store's age list and
// expiry list are two of these over the same entries.
//
// REQUIRES: the owning store's lock, for every call.
#pragma once

#include "cache/cache_node.h"

template <class NodeType, CacheListLinks<NodeType> NodeType::*Links>
class CacheNodeList {
public:
    NodeType* Head() const noexcept { return m_pHead; }
    NodeType* Tail() const noexcept { return m_pTail; }
    static NodeType* Next(const NodeType* node) noexcept { return (node->*Links).pNext; }
    static NodeType* Prev(const NodeType* node) noexcept { return (node->*Links).pPrev; }

    // An entry is linked when it has a predecessor or is the head; entries
    // that never joined (or already left) are not.
    bool Contains(const NodeType* node) const noexcept {
        return (node->*Links).pPrev != nullptr || m_pHead == node;
    }

    void PushBack(NodeType* node) noexcept { InsertAfter(m_pTail, node); }

    // Inserts node after `after`, or at the head when `after` is null.
    void InsertAfter(NodeType* after, NodeType* node) noexcept {
        NodeType* next = after != nullptr ? (after->*Links).pNext : m_pHead;
        (node->*Links).pPrev = after;
        (node->*Links).pNext = next;
        (after != nullptr ? (after->*Links).pNext : m_pHead) = node;
        (next != nullptr ? (next->*Links).pPrev : m_pTail) = node;
    }

    // Unlinks node if it is on the list; a missing neighbour moves the head
    // or the tail instead.
    void Remove(NodeType* node) noexcept {
        if (!Contains(node)) return;
        CacheListLinks<NodeType>& links = node->*Links;
        (links.pPrev != nullptr ? (links.pPrev->*Links).pNext : m_pHead) = links.pNext;
        (links.pNext != nullptr ? (links.pNext->*Links).pPrev : m_pTail) = links.pPrev;
        links.pPrev = nullptr;
        links.pNext = nullptr;
    }

private:
    NodeType* m_pHead = nullptr;
    NodeType* m_pTail = nullptr;
};
