#include "redis/resp_reader.h"

#include <cstring>
#include <limits>
#include <utility>

namespace qc::redis {
namespace {

// A strict decimal: an optional '-', then digits only, within 64 bits.
bool ParseInteger(std::string_view text, long long* value) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty()) return false;
    unsigned long long magnitude = 0;
    const unsigned long long limit =
        static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + (negative ? 1 : 0);
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    *value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return true;
}

}  // namespace

RespReplyReader::RespReplyReader(const RespLimits& limits, RespReply* reply) : m_limits(limits), m_root(reply) {}

RespParseResult RespReplyReader::Read(std::string_view data) {
    for (;;) {
        if (m_slot == nullptr) {
            m_slot = NextSlot();
            if (m_slot == nullptr)
                return m_position > m_limits.maxReplyBytes ? RespParseResult{RespParse::TooLarge, 0}
                                                           : RespParseResult{RespParse::Complete, m_position};
            if (++m_elements > m_limits.maxElements) return {RespParse::TooLarge, 0};
        }
        const RespParse status = Value(data);
        if (status == RespParse::Incomplete) {
            if (m_needed > m_limits.maxReplyBytes) return {RespParse::TooLarge, 0};
            return {status, m_needed};
        }
        if (status != RespParse::Complete) return {status, 0};
    }
}

// The next place a value goes: the reply itself, then each element of the
// arrays begun, depth first; null once the reply is whole.
RespReply* RespReplyReader::NextSlot() {
    while (!m_open.empty() && m_open.back().left == 0) m_open.pop_back();
    if (m_open.empty()) return std::exchange(m_rootBegun, true) ? nullptr : m_root;
    // Only the innermost open array grows: the values it moves are whole.
    OpenArray& innermost = m_open.back();
    --innermost.left;
    innermost.array->elements.emplace_back();
    return &innermost.array->elements.back();
}

RespParse RespReplyReader::NeedAtLeast(std::size_t needed) {
    m_needed = needed;
    return RespParse::Incomplete;
}

// The line from *at, up to its CR LF; a lone CR or LF inside is not RESP.
RespParse RespReplyReader::Line(std::string_view data, std::size_t* at, std::string_view* line) {
    const std::size_t start = *at;
    const std::size_t available = data.size() - start;
    const std::size_t window = available < m_limits.maxLineBytes + 1 ? available : m_limits.maxLineBytes + 1;
    const void* found = window ? std::memchr(data.data() + start, '\r', window) : nullptr;
    if (!found) return available > m_limits.maxLineBytes ? RespParse::TooLarge : NeedAtLeast(data.size() + 1);
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - data.data());
    if (end + 1 >= data.size()) return NeedAtLeast(end + 2);
    if (data[end + 1] != '\n') return RespParse::Malformed;
    *line = data.substr(start, end - start);
    if (line->find('\n') != std::string_view::npos) return RespParse::Malformed;
    *at = end + 2;
    return RespParse::Complete;
}

// A length line of a bulk string or an array: -1 is nil, below is wrong.
RespParse RespReplyReader::Length(std::string_view data, std::size_t* at, std::size_t cap, long long* length) {
    std::string_view line;
    const RespParse status = Line(data, at, &line);
    if (status != RespParse::Complete) return status;
    if (!ParseInteger(line, length) || *length < -1) return RespParse::Malformed;
    if (*length > 0 && static_cast<unsigned long long>(*length) > cap) return RespParse::TooLarge;
    return RespParse::Complete;
}

// Reads the value at m_position into m_slot. Whole, it moves past it (an
// array: past its length, its elements being values of their own); cut
// short, it leaves both as they are, to be read again with more bytes.
RespParse RespReplyReader::Value(std::string_view data) {
    RespReply& slot = *m_slot;
    std::size_t at = m_position;
    if (at >= data.size()) return NeedAtLeast(at + 1);
    const char type = data[at++];
    switch (type) {
        case '+':
        case '-': {
            std::string_view line;
            const RespParse status = Line(data, &at, &line);
            if (status != RespParse::Complete) return status;
            slot.kind = type == '+' ? RespReply::Kind::Status : RespReply::Kind::Error;
            slot.text.assign(line.data(), line.size());
            break;
        }
        case ':': {
            std::string_view line;
            const RespParse status = Line(data, &at, &line);
            if (status != RespParse::Complete) return status;
            if (!ParseInteger(line, &slot.integer)) return RespParse::Malformed;
            slot.kind = RespReply::Kind::Integer;
            break;
        }
        case '$': {
            long long length = 0;
            const RespParse status = Length(data, &at, m_limits.maxBulkBytes, &length);
            if (status != RespParse::Complete) return status;
            if (length == -1) {
                slot.kind = RespReply::Kind::Nil;
                break;
            }
            const std::size_t size = static_cast<std::size_t>(length);
            const std::size_t end = at + size;  // cannot wrap: size is within maxBulkBytes
            if (end + 2 > data.size()) return NeedAtLeast(end + 2);
            if (data[end] != '\r' || data[end + 1] != '\n') return RespParse::Malformed;
            slot.kind = RespReply::Kind::Bulk;
            slot.text.assign(data.data() + at, size);
            at = end + 2;
            break;
        }
        case '*': {
            if (m_open.size() + 1 > m_limits.maxDepth) return RespParse::TooLarge;
            long long count = 0;
            const RespParse status = Length(data, &at, m_limits.maxArrayElements, &count);
            if (status != RespParse::Complete) return status;
            if (count == -1) {
                slot.kind = RespReply::Kind::NilArray;
                break;
            }
            slot.kind = RespReply::Kind::Array;
            if (count > 0) m_open.push_back({&slot, static_cast<std::size_t>(count)});
            break;
        }
        default: return RespParse::Malformed;
    }
    m_position = at;
    m_slot = nullptr;
    return RespParse::Complete;
}

RespParseResult ParseReply(std::string_view data, const RespLimits& limits, RespReply* reply) {
    *reply = RespReply();
    return RespReplyReader(limits, reply).Read(data);
}

}  // namespace qc::redis
