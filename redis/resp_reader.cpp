#include "redis/resp_reader.h"

#include <cstring>
#include <limits>

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

class Parser {
public:
    Parser(std::string_view data, const RespLimits& limits) : m_data(data), m_limits(limits) {}

    RespParseResult Parse(RespReply* reply) {
        const RespParse status = Value(reply, 0);
        if (status == RespParse::Complete)
            return m_position > m_limits.maxReplyBytes ? RespParseResult{RespParse::TooLarge, 0}
                                                       : RespParseResult{status, m_position};
        if (status == RespParse::Incomplete) {
            if (m_needed > m_limits.maxReplyBytes) return {RespParse::TooLarge, 0};
            return {status, m_needed};
        }
        return {status, 0};
    }

private:
    RespParse Incomplete(std::size_t needed) {
        m_needed = needed;
        return RespParse::Incomplete;
    }

    // The line after the type byte, up to its CR LF; a lone CR or LF inside is
    // not RESP.
    RespParse Line(std::string_view* line) {
        const std::size_t start = m_position;
        const std::size_t available = m_data.size() - start;
        const std::size_t window = available < m_limits.maxLineBytes + 1 ? available : m_limits.maxLineBytes + 1;
        const void* found = window ? std::memchr(m_data.data() + start, '\r', window) : nullptr;
        if (!found) return available > m_limits.maxLineBytes ? RespParse::TooLarge : Incomplete(m_data.size() + 1);
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - m_data.data());
        if (end + 1 >= m_data.size()) return Incomplete(end + 2);
        if (m_data[end + 1] != '\n') return RespParse::Malformed;
        *line = m_data.substr(start, end - start);
        if (line->find('\n') != std::string_view::npos) return RespParse::Malformed;
        m_position = end + 2;
        return RespParse::Complete;
    }

    // A length line of a bulk string or an array: -1 is nil, below is wrong.
    RespParse Length(long long* length, std::size_t cap) {
        std::string_view line;
        const RespParse status = Line(&line);
        if (status != RespParse::Complete) return status;
        if (!ParseInteger(line, length) || *length < -1) return RespParse::Malformed;
        if (*length > 0 && static_cast<unsigned long long>(*length) > cap) return RespParse::TooLarge;
        return RespParse::Complete;
    }

    RespParse Value(RespReply* reply, std::size_t depth) {
        if (++m_elements > m_limits.maxElements) return RespParse::TooLarge;
        if (m_position >= m_data.size()) return Incomplete(m_position + 1);
        const char type = m_data[m_position++];
        switch (type) {
            case '+':
            case '-': {
                reply->kind = type == '+' ? RespReply::Kind::Status : RespReply::Kind::Error;
                std::string_view line;
                const RespParse status = Line(&line);
                if (status == RespParse::Complete) reply->text.assign(line.data(), line.size());
                return status;
            }
            case ':': {
                reply->kind = RespReply::Kind::Integer;
                std::string_view line;
                const RespParse status = Line(&line);
                if (status != RespParse::Complete) return status;
                return ParseInteger(line, &reply->integer) ? RespParse::Complete : RespParse::Malformed;
            }
            case '$': return Bulk(reply);
            case '*': return Array(reply, depth + 1);
            default: return RespParse::Malformed;
        }
    }

    RespParse Bulk(RespReply* reply) {
        long long length = 0;
        const RespParse status = Length(&length, m_limits.maxBulkBytes);
        if (status != RespParse::Complete) return status;
        if (length == -1) {
            reply->kind = RespReply::Kind::Nil;
            return RespParse::Complete;
        }
        const std::size_t size = static_cast<std::size_t>(length);
        const std::size_t end = m_position + size;  // cannot wrap: size is within maxBulkBytes
        if (end + 2 > m_data.size()) return Incomplete(end + 2);
        if (m_data[end] != '\r' || m_data[end + 1] != '\n') return RespParse::Malformed;
        reply->kind = RespReply::Kind::Bulk;
        reply->text.assign(m_data.data() + m_position, size);
        m_position = end + 2;
        return RespParse::Complete;
    }

    RespParse Array(RespReply* reply, std::size_t depth) {
        if (depth > m_limits.maxDepth) return RespParse::TooLarge;
        long long count = 0;
        const RespParse status = Length(&count, m_limits.maxArrayElements);
        if (status != RespParse::Complete) return status;
        if (count == -1) {
            reply->kind = RespReply::Kind::NilArray;
            return RespParse::Complete;
        }
        reply->kind = RespReply::Kind::Array;
        for (long long i = 0; i < count; ++i) {
            reply->elements.emplace_back();
            const RespParse element = Value(&reply->elements.back(), depth);
            if (element != RespParse::Complete) return element;
        }
        return RespParse::Complete;
    }

    std::string_view m_data;
    const RespLimits& m_limits;
    std::size_t m_position = 0;
    std::size_t m_elements = 0;
    std::size_t m_needed = 0;
};

}  // namespace

RespParseResult ParseReply(std::string_view data, const RespLimits& limits, RespReply* reply) {
    *reply = RespReply();
    return Parser(data, limits).Parse(reply);
}

}  // namespace qc::redis
