// How a Redis cluster splits its keys: 16384 slots, a key's slot the CRC16
// of its hash tag (the bytes between its first '{' and the first '}' after
// it, when those are not empty; else the whole key), and each slot served by
// one primary. ClusterSlotMap reads the map from a node's CLUSTER SLOTS.
#pragma once

#include "redis/resp_reply.h"
#include "redis/resp_server_source.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace qc::redis {

inline constexpr unsigned kClusterSlots = 16384;

unsigned KeySlot(std::string_view key);

class ClusterSlotMap {
public:
    static constexpr std::uint16_t kNoOwner = 0xFFFF;

    // Reads CLUSTER SLOTS as `asked` answered it (a node that names itself
    // with an empty host is at asked's host). false when the reply is not
    // such a map; slots it leaves out have no owner.
    bool Parse(const RespReply& reply, const RespAddress& asked);

    // The primary that serves `slot`; false when none does.
    bool Owner(unsigned slot, RespAddress* owner) const;
    // A MOVED reply's news: `slot` is served by `owner` now.
    void SetOwner(unsigned slot, const RespAddress& owner);
    // The primaries that serve a slot, and every node the map names
    // (primaries and replicas), each once.
    std::vector<RespAddress> Primaries() const;
    const std::vector<RespAddress>& Nodes() const { return m_nodes; }
    bool Empty() const { return m_owner.empty(); }
    // Whether every slot has the same owner in both.
    bool SameOwners(const ClusterSlotMap& other) const;

private:
    std::uint16_t IndexOf(const RespAddress& node);

    std::vector<RespAddress> m_nodes;
    std::vector<std::uint16_t> m_owner;  // per slot, an index into m_nodes; empty until parsed
};

}  // namespace qc::redis
