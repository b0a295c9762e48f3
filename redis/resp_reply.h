// One reply of a Redis server, in the protocol's version 2 (RESP2), which a
// connection speaks unless it asks for another.
//
// A reply is a tree: statuses, errors, integers, bulk strings (any bytes) and
// their nil, and arrays of replies and their nil. The client never sees
// bytes of the wire: RespReader turns them into this, within its limits.
#pragma once

#include <string>
#include <vector>

namespace qc::redis {

struct RespReply {
    enum class Kind : unsigned char { Status, Error, Integer, Bulk, Nil, Array, NilArray };

    Kind kind = Kind::Nil;
    long long integer = 0;            // Integer
    std::string text;                 // Status, Error (the message) and Bulk (the bytes)
    std::vector<RespReply> elements;  // Array

    bool IsError() const { return kind == Kind::Error; }

    friend bool operator==(const RespReply& a, const RespReply& b) {
        return a.kind == b.kind && a.integer == b.integer && a.text == b.text && a.elements == b.elements;
    }
    friend bool operator!=(const RespReply& a, const RespReply& b) { return !(a == b); }
};

}  // namespace qc::redis
