#include "redis/cluster_slots.h"

#include <algorithm>

namespace qc::redis {
namespace {

// CRC16 with the polynomial 0x1021 and no initial or final XOR (XMODEM), as
// the cluster computes it.
unsigned Crc16(std::string_view bytes) {
    unsigned crc = 0;
    for (const char byte : bytes) {
        crc ^= static_cast<unsigned>(static_cast<unsigned char>(byte)) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
        crc &= 0xFFFF;
    }
    return crc;
}

bool AddressOf(const RespReply& node, const RespAddress& asked, RespAddress* address) {
    if (node.kind != RespReply::Kind::Array || node.elements.size() < 2) return false;
    const RespReply& host = node.elements[0];
    const RespReply& port = node.elements[1];
    if (host.kind != RespReply::Kind::Bulk || port.kind != RespReply::Kind::Integer || port.integer <= 0 ||
        port.integer > 65535)
        return false;
    address->host = host.text.empty() ? asked.host : host.text;
    address->port = static_cast<unsigned short>(port.integer);
    return true;
}

}  // namespace

unsigned KeySlot(std::string_view key) {
    const std::size_t open = key.find('{');
    if (open != std::string_view::npos) {
        const std::size_t close = key.find('}', open + 1);
        if (close != std::string_view::npos && close != open + 1) key = key.substr(open + 1, close - open - 1);
    }
    return Crc16(key) % kClusterSlots;
}

std::uint16_t ClusterSlotMap::IndexOf(const RespAddress& node) {
    const auto found = std::find(m_nodes.begin(), m_nodes.end(), node);
    if (found != m_nodes.end()) return static_cast<std::uint16_t>(found - m_nodes.begin());
    m_nodes.push_back(node);
    return static_cast<std::uint16_t>(m_nodes.size() - 1);
}

bool ClusterSlotMap::Parse(const RespReply& reply, const RespAddress& asked) {
    if (reply.kind != RespReply::Kind::Array) return false;
    ClusterSlotMap parsed;
    parsed.m_owner.assign(kClusterSlots, kNoOwner);
    for (const RespReply& range : reply.elements) {
        if (range.kind != RespReply::Kind::Array || range.elements.size() < 3) return false;
        const RespReply& first = range.elements[0];
        const RespReply& last = range.elements[1];
        if (first.kind != RespReply::Kind::Integer || last.kind != RespReply::Kind::Integer || first.integer < 0 ||
            last.integer < first.integer || last.integer >= kClusterSlots)
            return false;
        RespAddress node;
        // A node's index must never reach kNoOwner.
        if (!AddressOf(range.elements[2], asked, &node) || parsed.m_nodes.size() + range.elements.size() >= kNoOwner)
            return false;
        const std::uint16_t owner = parsed.IndexOf(node);
        std::fill(parsed.m_owner.begin() + first.integer, parsed.m_owner.begin() + last.integer + 1, owner);
        // Replicas are worth asking for the map when their primary is gone.
        for (std::size_t replica = 3; replica < range.elements.size(); ++replica)
            if (AddressOf(range.elements[replica], asked, &node)) parsed.IndexOf(node);
    }
    *this = std::move(parsed);
    return true;
}

bool ClusterSlotMap::Owner(unsigned slot, RespAddress* owner) const {
    if (slot >= m_owner.size() || m_owner[slot] == kNoOwner) return false;
    *owner = m_nodes[m_owner[slot]];
    return true;
}

void ClusterSlotMap::SetOwner(unsigned slot, const RespAddress& owner) {
    if (m_owner.empty()) m_owner.assign(kClusterSlots, kNoOwner);
    if (slot < m_owner.size()) m_owner[slot] = IndexOf(owner);
}

bool ClusterSlotMap::SameOwners(const ClusterSlotMap& other) const {
    if (m_owner.size() != other.m_owner.size()) return false;
    for (std::size_t slot = 0; slot < m_owner.size(); ++slot) {
        const std::uint16_t mine = m_owner[slot], theirs = other.m_owner[slot];
        if ((mine == kNoOwner) != (theirs == kNoOwner)) return false;
        if (mine != kNoOwner && m_nodes[mine] != other.m_nodes[theirs]) return false;
    }
    return true;
}

std::vector<RespAddress> ClusterSlotMap::Primaries() const {
    std::vector<bool> serves(m_nodes.size(), false);
    for (const std::uint16_t owner : m_owner)
        if (owner != kNoOwner) serves[owner] = true;
    std::vector<RespAddress> primaries;
    for (std::size_t node = 0; node < m_nodes.size(); ++node)
        if (serves[node]) primaries.push_back(m_nodes[node]);
    return primaries;
}

}  // namespace qc::redis
