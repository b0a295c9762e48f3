// Reads one RESP2 reply from bytes received, with every length bounded.
//
// The reader is a pure function over the bytes a connection has gathered so
// far. It never reads past them and never trusts a length it was sent: a
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

// Reads the reply at the start of `data`. *reply is only meaningful when the
// result is Complete. May throw std::bad_alloc.
RespParseResult ParseReply(std::string_view data, const RespLimits& limits, RespReply* reply);

}  // namespace qc::redis
