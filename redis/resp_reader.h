// Reads one RESP2 reply from bytes received, with every length bounded.
//
// The reader works over the bytes a connection has gathered so far. It never
// reads past them and never trusts a length it was sent: a
// bulk string, an array, a line, the nesting and the whole reply each have a
// cap (RespLimits), and a reply beyond one is TooLarge before anything of
// that size is allocated. Bytes that break the grammar are Malformed. Either
// way the connection cannot know where the next reply starts, so it closes.
//
//   result      bytes                                meaning
//   Complete    bytes the reply took                 *reply holds it
//   Incomplete  the least total the reply needs      read more, then call again
//   Malformed   -                                    not RESP2
//   TooLarge    -                                    over a cap
#pragma once

#include "redis/resp_reply.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace qc::redis {

struct RespLimits {
    std::size_t maxLineBytes = 8 * 1024;           // a status, error, integer or length line
    std::size_t maxBulkBytes = 32 * 1024 * 1024;   // one bulk string (a cached text)
    std::size_t maxArrayElements = 1024;           // one array
    std::size_t maxElements = 4096;                // every value of the reply together
    std::size_t maxDepth = 8;                      // arrays within arrays
    std::size_t maxReplyBytes = 64 * 1024 * 1024;  // the whole reply on the wire
};

enum class RespParse { Complete, Incomplete, Malformed, TooLarge };

struct RespParseResult {
    RespParse status;
    std::size_t bytes;  // Complete: consumed; Incomplete: needed in all; otherwise 0
};

// Reads one reply as its bytes arrive, taking up where the last call left
// off: what was read before is not read again, so a reply of many elements,
// or a long one that arrives in small pieces, costs time in step with its
// size. Each call is given the bytes of the reply from its first, those of
// the last call and more after them, and the same *reply, untouched in
// between; *reply is only meaningful once the result is Complete. After a
// result other than Incomplete the reader is done. May throw std::bad_alloc.
class RespReplyReader {
public:
    RespReplyReader(const RespLimits& limits, RespReply* reply);

    RespParseResult Read(std::string_view data);

    // Where the next call starts reading: past every value read whole.
    std::size_t Position() const { return m_position; }

private:
    struct OpenArray {
        RespReply* array;
        std::size_t left;  // elements still to come
    };

    RespReply* NextSlot();
    RespParse NeedAtLeast(std::size_t needed);
    RespParse Line(std::string_view data, std::size_t* at, std::string_view* line);
    RespParse Length(std::string_view data, std::size_t* at, std::size_t cap, long long* length);
    RespParse Value(std::string_view data);

    const RespLimits& m_limits;
    RespReply* const m_root;
    RespReply* m_slot = nullptr;     // where the value being read goes
    std::vector<OpenArray> m_open;   // the arrays being filled, outermost first
    std::size_t m_position = 0;      // the start of the value being read
    std::size_t m_needed = 0;        // Incomplete: the least total the reply needs
    std::size_t m_elements = 0;      // values begun
    bool m_rootBegun = false;
};

// Reads the reply at the start of `data` in one go. *reply is only
// meaningful when the result is Complete. May throw std::bad_alloc.
RespParseResult ParseReply(std::string_view data, const RespLimits& limits, RespReply* reply);

}  // namespace qc::redis
