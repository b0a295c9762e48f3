// Fuzzes the reply reader. The first byte picks the oracle:
//   even: the rest is bytes off the wire. Whatever they are, the reader
//         stays within them and gives one of its four answers; a reply it
//         reads encodes back to bytes it reads as the same reply; a reply cut
//         short asks for more than it has.
//   odd:  the rest describes a reply tree, which is encoded as a server
//         would send it; the reader must give back that tree, having used
//         every byte, and ask for more at every cut.
// ASan and the fuzzer's leak check watch for overruns and leaks.
#include "redis/resp_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using qc::redis::ParseReply;
using qc::redis::RespLimits;
using qc::redis::RespParse;
using qc::redis::RespParseResult;
using qc::redis::RespReply;

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// The encoding a server sends: canonical, so equal trees give equal bytes.
void Encode(const RespReply& reply, std::string* out) {
    switch (reply.kind) {
        case RespReply::Kind::Status: *out += "+" + reply.text + "\r\n"; break;
        case RespReply::Kind::Error: *out += "-" + reply.text + "\r\n"; break;
        case RespReply::Kind::Integer: *out += ":" + std::to_string(reply.integer) + "\r\n"; break;
        case RespReply::Kind::Bulk: *out += "$" + std::to_string(reply.text.size()) + "\r\n" + reply.text + "\r\n"; break;
        case RespReply::Kind::Nil: *out += "$-1\r\n"; break;
        case RespReply::Kind::NilArray: *out += "*-1\r\n"; break;
        case RespReply::Kind::Array:
            *out += "*" + std::to_string(reply.elements.size()) + "\r\n";
            for (const RespReply& element : reply.elements) Encode(element, out);
            break;
    }
}

class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Next() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string Text(std::size_t length, bool line) {
        std::string text;
        while (length-- > 0 && m_at < m_size) {
            const char c = static_cast<char>(m_data[m_at++]);
            text += line && (c == '\r' || c == '\n') ? '.' : c;  // a line holds neither
        }
        return text;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// A tree within the default limits: at most 6 deep, 8 wide, 300 values.
RespReply Build(Cursor& cursor, int depth, int& budget) {
    RespReply reply;
    --budget;
    const int pick = cursor.Next() % 7;
    switch (pick) {
        case 0: reply.kind = RespReply::Kind::Status; reply.text = cursor.Text(cursor.Next() % 40, true); break;
        case 1: reply.kind = RespReply::Kind::Error; reply.text = cursor.Text(cursor.Next() % 40, true); break;
        case 2: {
            reply.kind = RespReply::Kind::Integer;
            std::uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) bits = bits << 8 | cursor.Next();
            std::memcpy(&reply.integer, &bits, sizeof bits);
            break;
        }
        case 3: reply.kind = RespReply::Kind::Bulk; reply.text = cursor.Text(cursor.Next() % 80, false); break;
        case 4: reply.kind = RespReply::Kind::Nil; break;
        case 5: reply.kind = RespReply::Kind::NilArray; break;
        default:
            reply.kind = RespReply::Kind::Array;
            for (int n = cursor.Next() % 9; n > 0 && depth < 6 && budget > 0; --n)
                reply.elements.push_back(Build(cursor, depth + 1, budget));
            break;
    }
    return reply;
}

// Each cut of a whole reply asks for more, and one reader given the cuts in
// turn, then the rest, reads what a reading in one go does.
void CheckCutsAskForMore(const std::string& wire, const RespLimits& limits) {
    RespReply reply;
    RespReply resumed;
    qc::redis::RespReplyReader reader(limits, &resumed);
    for (const std::size_t cut : {std::size_t{0}, wire.size() / 3, wire.size() / 2, wire.size() - 1}) {
        if (cut >= wire.size()) continue;
        const RespParseResult part = ParseReply(std::string_view(wire.data(), cut), limits, &reply);
        if (part.status != RespParse::Incomplete || part.bytes <= cut || part.bytes > wire.size())
            Fail("a reply cut short did not ask for more");
        if (reader.Read(std::string_view(wire.data(), cut)).status != RespParse::Incomplete)
            Fail("a reply read in pieces ended early");
    }
    const RespParseResult whole = ParseReply(wire, limits, &reply);
    if (reader.Read(wire).status != whole.status || (whole.status == RespParse::Complete && resumed != reply))
        Fail("a reply read in pieces reads as another");
}

void FromTheWire(std::string_view bytes) {
    RespLimits small;
    small.maxLineBytes = 64;
    small.maxBulkBytes = 256;
    small.maxArrayElements = 16;
    small.maxElements = 64;
    small.maxDepth = 4;
    small.maxReplyBytes = 2048;
    for (const RespLimits& limits : {RespLimits(), small}) {
        RespReply reply;
        const RespParseResult result = ParseReply(bytes, limits, &reply);
        if (result.status == RespParse::Incomplete && result.bytes <= bytes.size()) Fail("asked for bytes it had");
        if (result.status != RespParse::Complete) continue;
        if (result.bytes == 0 || result.bytes > bytes.size()) Fail("read outside its bytes");
        std::string again;
        Encode(reply, &again);
        RespReply reread;
        const RespParseResult second = ParseReply(again, limits, &reread);
        if (second.status != RespParse::Complete || second.bytes != again.size() || reread != reply)
            Fail("a reply read does not read the same once encoded");
        CheckCutsAskForMore(std::string(bytes.substr(0, result.bytes)), limits);
    }
}

void FromATree(const std::uint8_t* data, std::size_t size) {
    Cursor cursor(data, size);
    int budget = 300;
    const RespReply tree = Build(cursor, 1, budget);
    std::string wire;
    Encode(tree, &wire);
    const RespLimits limits;
    RespReply reply;
    const RespParseResult result = ParseReply(wire, limits, &reply);
    if (result.status != RespParse::Complete || result.bytes != wire.size()) Fail("a well-formed reply was not read");
    if (reply != tree) Fail("a well-formed reply read as another");
    CheckCutsAskForMore(wire, limits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    if (data[0] & 1)
        FromATree(data + 1, size - 1);
    else
        FromTheWire(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    return 0;
}
